#pragma once

// What an earlier run left, made right before anything new happens; and the undo of a run.
//
// Recovery looks only at the updater's own records (the working folders that hold one) and at the files
// those records name by id, never at the staging folder or the installation for its decisions: the
// launcher and the player control those, and may have changed them since (staged a newer version,
// deleted a file, let an antivirus quarantine one).
//
//   record        what recovery does
//   none          not this program's folder: left alone
//   torn          nothing was changed: the draft and the folder go
//   empty         a finished run died removing its folder (or is just removing it): the folder goes
//   uncommitted   RollBack, entry by entry, never stopping at one; then the record is abandoned
//   committed     the update is in: clean-up after the relaunch
//   abandoned     clean-up after the relaunch
//   leftover      clean-up after the relaunch: an earlier clean-up could not remove everything
//   (a run that finds nothing staged after seeing a committed or abandoned record through ends well: that
//   was its job; an empty folder is no such job, so a second updater started by mistake fails as usual)
//   busy          another updater is cleaning it up: left to it
//   damaged, unreadable   the run fails, naming the record; it is never ignored and never removed
//
// RollBack puts each entry back (EntrySteps), removes the folders the run made when they are empty, and
// gives the taken-over staging folder back as ./self_update when it is whole again and the launcher has
// not staged anything new meanwhile; then the record is abandoned. So the next step, applying whatever
// ./self_update holds, always installs a whole version.

#include "apply/ApplyError.h"
#include "apply/EntrySteps.h"
#include "apply/Journal.h"
#include "apply/Layout.h"
#include "apply/RetryPolicy.h"

#include <memory>
#include <optional>
#include <vector>

namespace QOR::Update
{
    struct RecoveryOutcome
    {
        // Records of finished runs (committed or abandoned), locked, for the clean-up.
        std::vector<std::unique_ptr<Journal>> finished;
        // An earlier run is finished here (committed, or undone for good): with no staging folder, seeing it
        // through was this run's whole job.
        bool bIsEarlierRunFinished = false;
        // An interrupted run's staged entry that is gone, so its staging folder could not be given back.
        std::optional<NativeString> lostStaged;
        Notes notes;
    };

    [[nodiscard]] ApplyResult Recover(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry,
                                      RecoveryOutcome& outcome);

    // Undoes entries [0, count) of an uncommitted run in reverse order, gives its staging folder back and
    // abandons the record. `lostStaged` receives an entry whose staged file could not be given back.
    [[nodiscard]] std::error_code RollBack(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry,
                                           Journal& journal, std::size_t count, Undoing undoing, Notes& notes,
                                           std::optional<NativeString>& lostStaged);
}
