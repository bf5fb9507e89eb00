#pragma once

// One update of the installation, all or nothing, from the records earlier runs left to the commit;
// then, once the launcher runs again, the clean-up. Apply.cpp reads top to bottom:
//
//   1. recover what earlier runs left (Recovery.h)
//   2. plan the staged tree (Planner.h)                          nothing has changed up to here
//   3. write the record, durable, with the staged data (Journal.h)
//   4. take the staging folder over: ./self_update -> .qor-<tag>/staging, one rename
//   5. install each entry, making the folders it needs (EntrySteps.h)
//   6. commit: flush, rename the record to "committed"          the update counts from here
//   a failure in 4 to 6 rolls everything back (Recovery.h) before it is returned
//   7. CleanUp, after the relaunch: the replaced files, the old staging folder, the records (Cleanup.h)
//
// Errors come back as values (ApplyError); nothing here makes text for a person.

#include "apply/ApplyError.h"
#include "apply/Journal.h"
#include "apply/Layout.h"
#include "apply/Planner.h"
#include "apply/RetryPolicy.h"

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace QOR::Update
{
    struct ApplySettings
    {
        PlannerSettings planner;
        // How long files held by other programs are waited for, in the whole apply and in the clean-up.
        std::chrono::milliseconds heldFileBudget = RetryPolicy::RunBudget;
        std::chrono::milliseconds cleanUpBudget{2000};
        RetryPolicy::Sleep sleep = nullptr; // nullptr: really sleep
    };

    // One run of the updater, from Apply to CleanUp.
    class UpdateRun
    {
    public:
        UpdateRun(FileSystem& fileSystem, ApplySettings settings);
        ~UpdateRun();

        // Steps 1 to 6. After a failure the installation and ./self_update are as they were, as far as the
        // notes do not say otherwise.
        [[nodiscard]] ApplyResult Apply();

        // Whether ./self_update is still there for the caller to remove: nothing was installed from it.
        bool IsStagingLeft() const { return _bIsStagingLeft; }

        // What recovery or an undo had to leave as it was, for the log.
        const Notes& GetNotes() const { return _notes; }

        // Step 7 for every finished record found or made by this run. Returns what could not be removed yet.
        Notes CleanUp();

    private:
        ApplyResult ApplyStaged();
        ApplyResult NothingStaged() const;
        ApplyResult TakeOverStaging(std::unique_ptr<Journal>& journal);
        ApplyResult InstallEntries(std::unique_ptr<Journal>& journal);
        ApplyResult FailAndRollBack(std::unique_ptr<Journal>& journal, std::size_t count, ApplyError failure);
        RetryPolicy MakeRetry(std::chrono::milliseconds budget) const;

        FileSystem& _fs;
        ApplySettings _settings;
        std::optional<Layout> _layout;
        RetryPolicy _retry;
        std::vector<std::unique_ptr<Journal>> _finished;
        std::optional<NativeString> _lostStaged;
        bool _bIsEarlierRunFinished = false;
        bool _bIsStagingLeft = false;
        Notes _notes;
    };
}
