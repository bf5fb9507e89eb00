#pragma once

// The record of one run in its working folder, over the format of JournalFormat.h. Its life cycle:
//
//   Create    the folder is made and the draft written; every file system the update reads or writes is
//             flushed, so the record and the staged data are durable before the first change; then
//             the draft is renamed to "journal", which is locked for the life of this object
//                                                                                  -> Uncommitted
//   Commit    every file system that received an entry is flushed, then "journal" is renamed to
//             "committed"                                                          -> Committed
//   Abandon   the same, to "abandoned", once every change of the run is put back  -> Abandoned
//   KeepLeftovers  (Committed or Abandoned, when its clean-up could not remove everything) renamed to
//             "leftover", which the launcher's rule does not see: an updater it started would only fail
//             to remove the same again, and start the launcher, which would start it again
//                                                                                  -> Leftover
//   Remove    (Committed, Abandoned or Leftover, after the run's working files are gone) the record, then the
//             folder                                                               -> gone
//
// Inspect reads the working folder of an earlier run. A folder is this program's only when it holds a
// record of it (or a draft that can only be one, cut short): anything else is left alone, whatever its
// name. A record that another running updater holds (a clean-up after its relaunch) is Busy and left
// to it.

#include "apply/ApplyError.h"
#include "apply/Layout.h"
#include "apply/Plan.h"

#include <memory>
#include <vector>

namespace QOR::Update
{
    enum class RecordState : std::uint8_t
    {
        NotOurs,     // no record: not this program's folder
        Empty,       // an empty folder: a run that had removed everything but the folder
        Torn,        // only a draft: the run died before its record was whole, and changed nothing
        Uncommitted, // the run may have changed the installation and did not finish: undo it
        Committed,   // the update is in: only clean-up is left
        Abandoned,   // the run's changes are put back: only clean-up is left
        Leftover,    // a clean-up could not remove everything: the next update's run tries again
        Damaged,     // a record that is not whole: never ignored, never removed
        Unreadable,  // a record that cannot be read (another user's): never ignored, never removed
        Busy,        // another updater works on it
    };

    class Journal
    {
    public:
        // Chooses the plan's tag, makes the folder and the durable, locked record.
        [[nodiscard]] static ApplyResult Create(FileSystem& fileSystem, const Layout& layout, UpdatePlan plan,
                                                std::unique_ptr<Journal>& journal);

        // What the working folder of `tag` holds. For the three states with a whole record, `journal`
        // receives it, locked. `error` tells why a record is Unreadable.
        static RecordState Inspect(FileSystem& fileSystem, const Layout& layout, std::uint64_t tag,
                                   std::unique_ptr<Journal>& journal, std::error_code& error);

        ~Journal();
        Journal(const Journal&) = delete;
        Journal& operator=(const Journal&) = delete;

        RecordState State() const { return _state; }
        const UpdatePlan& Plan() const { return _plan; }
        // The record as the file system names it.
        NativeString RecordPath() const;

        // `fileSystems`: one folder on each file system the entries went to, where the caller knows them
        // (the planner does); otherwise they are found from the plan.
        [[nodiscard]] ApplyResult Commit(const std::vector<NativeString>* fileSystems = nullptr);
        [[nodiscard]] std::error_code Abandon();
        [[nodiscard]] std::error_code KeepLeftovers();
        // Removes the record and then the folder; the run's other working files must be gone first.
        [[nodiscard]] std::error_code Remove();

    private:
        Journal(FileSystem& fileSystem, const Layout& layout, UpdatePlan plan, RecordState state);

        // Flushes every file system the plan's entries live on, then renames the record.
        std::error_code MoveTo(RecordState state, const std::vector<NativeString>* fileSystems);
        // The record under the name of `state`, nothing flushed.
        std::error_code Rename(RecordState state);
        std::vector<NativeString> FileSystemFolders() const;

        FileSystem& _fs;
        const Layout& _layout;
        UpdatePlan _plan;
        RecordState _state;
        std::unique_ptr<FileLock> _lock;
    };
}
