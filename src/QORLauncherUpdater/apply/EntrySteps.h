#pragma once

// The steps that move one entry of the plan into the installation, and back.
//
// Names: A is the entry in the taken-over staging folder (.qor-<tag>/staging/<path>), T its place in the
// installation, B, P and N its working files beside T (see JournalFormat.h). The record holds the id of
// the staged entry (S) and, for a replacing entry, of the installed one (I). Ids survive renames, so where
// each of them is tells how far an entry got, whatever its names are now.
//
// Install, by kind and by what the file system offers (each arrow one system call):
//   folder, or file where T is free:   A -> T (no replace)
//   replacing, exchange supported and ids that survive moves:
//                                      A <-> T (one swap: I lands at A, in the working folder)
//   replacing, otherwise:              T => B (hard link; or copy to P, P -> B), then A -> T (replace)
//   another file system, or a link's content (Windows): the backup as above, copy A to N, N -> T
//
// Undo, judged per entry from what is at T and A (S, I, missing, or something else) and whether B
// exists; never from the staging folder the launcher controls:
//
//   at T        at A        B      what the undo does
//   S           I           -      swap A <-> T back
//   S           any         yes    the staged file back to A if A is empty (hard link; or copy to N, N -> A),
//                                  then B -> T
//   S           missing     no     new entry: T -> A; replacing entry: the old file is gone (noted), and the
//                                  new one is linked back to A so the staged tree stays whole
//   missing     any         yes    B -> T (the new file went away: an antivirus, a player)
//   missing     I           no     A -> T
//   I           any         any    nothing: never replaced (B, a copy or link of I, is a working file)
//   other       S, same bytes      our copy from another file system: B -> T, or removed if T was free
//   other       otherwise          someone else's since the run: left as it is (noted where ids last)
//
// Where ids do not survive a move (FAT, exFAT; FileSystem::KeepsIdsWhenMoved), a staged file moved to T
// shows neither S nor, always, something other than I: a file renamed over another may take its id. There,
// while the staging folder is in the working folder, a staged entry missing from A is taken to be at T,
// and the row "S at T" applies. An undo of this run's own moves knows no more is possible. An earlier
// run's is undone so that it never gives the installed file back as the staged one (A may have gone
// another way, deleted by a cleaner): where T has the backup's bytes, or there is no backup to compare
// with, T is left as it is and the staged tree is not whole, so the launcher stages the update again.
//
// Read-only files (Windows), as the record says: a read-only T loses the attribute just before its backup
// is made (a hard link shares it), and the undo gives it back to the old file before that moves back to T,
// or to T itself when it was never replaced. A read-only staged file keeps its attribute when it is
// installed; an undo makes it writable only where it must be replaced or linked, and read-only again once
// it is back at A (and at T, where it stays).
//
// N and P are removed first when they exist. Nothing is removed or renamed that is not there: a read-only
// folder answers "permission denied" even for a name that does not exist. Working files that remain (B,
// or one that cannot be removed now, such as a link of a program's image that is still running) are
// removed by Discard once the record is committed or abandoned; what cannot be removed is noted and left
// to the next run.

#include "apply/ApplyError.h"
#include "apply/Layout.h"
#include "apply/Plan.h"
#include "apply/RetryPolicy.h"

#include <optional>
#include <unordered_set>

namespace QOR::Update
{
    // Whose moves an undo puts back: the running update's own, or those of an earlier run that was stopped.
    enum class Undoing : std::uint8_t
    {
        ThisRunsMoves,
        AnEarlierRunsMoves,
    };

    class EntrySteps
    {
    public:
        EntrySteps(FileSystem& fileSystem, const Layout& layout, const UpdatePlan& plan, RetryPolicy& retry,
                   Undoing undoing = Undoing::AnEarlierRunsMoves);

        // Moves (or copies) entry `index` into place, keeping what it replaces.
        [[nodiscard]] ApplyResult Install(std::size_t index);

        // Puts entry `index` back as it was before the run, as far as it can; notes what it cannot.
        // Returns whether the staged entry is back at A, so the staged tree can be given back whole.
        bool Undo(std::size_t index, Notes& notes);

        // Removes entry `index`'s working files beside its target; notes the ones that remain.
        void Discard(std::size_t index, Notes& notes);

    private:
        struct Paths
        {
            NativeString adopted;
            NativeString target;
            NativeString backup;
            NativeString partialBackup;
            NativeString fresh;
        };

        Paths PathsOf(std::size_t index) const;
        bool Holds(const EntryStatus& status, const FileId& id) const;
        bool IsStagedAt(const EntryStatus& adopted, const PlanEntry& entry) const;
        ApplyResult Failed(std::size_t index, const std::error_code& error, const NativeString& held);

        std::error_code InstallReplacing(std::size_t index, const Paths& paths, NativeString& held);
        std::error_code KeepBackup(std::size_t index, const Paths& paths, NativeString& held);
        std::error_code CopyIn(std::size_t index, const Paths& paths, bool bIsReplacing, NativeString& held);
        // `name` for `file` as well: a hard link, or where there are none a flushed copy made at `working`.
        std::error_code SecondName(const NativeString& file, const NativeString& name, const NativeString& working);

        bool UndoSteps(std::size_t index, Notes& notes);
        bool IsStagingTakenOver();
        bool UndoWithoutIds(std::size_t index, const Paths& paths, const EntryStatus& target,
                            const EntryStatus& adopted, Notes& notes);
        bool UndoNewAtTarget(std::size_t index, const Paths& paths, const EntryStatus& adopted, Notes& notes);
        bool UndoNewEntry(std::size_t index, const Paths& paths, const EntryStatus& adopted, Notes& notes);
        bool UndoMissingTarget(std::size_t index, const Paths& paths, const EntryStatus& adopted, Notes& notes);
        bool UndoOtherAtTarget(std::size_t index, const Paths& paths, const EntryStatus& adopted, Notes& notes);
        bool PutStagedBack(std::size_t index, const Paths& paths, Notes& notes);
        // The old file (at `from`: B, or A after an exchange) back to T, read-only again if it was.
        std::error_code PutOldBack(std::size_t index, const NativeString& from, const Paths& paths, RenameMode mode);
        // The staged file's read-only attribute, where it had one, back on `path`.
        void RestoreStaged(std::size_t index, const NativeString& path, Notes& notes);
        // The replaced file's read-only attribute, where it had one, back on `path`.
        void RestoreInstalled(std::size_t index, const NativeString& path, Notes& notes);

        // One step of an undo: done, or noted.
        bool Try(const NativeString& path, const std::error_code& error, Notes& notes);
        bool Move(const Paths& paths, const NativeString& from, const NativeString& to, RenameMode mode, Notes& notes);
        bool Remove(const NativeString& path, Notes& notes);
        bool Exists(const NativeString& path, EntryStatus& status, Notes& notes);
        void RemoveIfPresent(const NativeString& path, Notes& notes);

        FileSystem& _fs;
        const Layout& _layout;
        const UpdatePlan& _plan;
        RetryPolicy& _retry;
        // The system numbers the file systems as it did when the record was made.
        bool _bIsDeviceNumbering = true;
        // Ids survive moves on the installation's file system (see above).
        bool _bAreIdsKept = true;
        std::optional<bool> _bIsStagingTakenOver; // looked at once, by the first undo that needs it
        const Undoing _undoing;
        // File systems where an exchange was refused: not tried again in this run.
        std::unordered_set<std::uint64_t> _noExchange;
    };
}
