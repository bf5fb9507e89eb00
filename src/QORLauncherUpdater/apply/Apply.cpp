#include "apply/Apply.h"

#include "apply/Cleanup.h"
#include "apply/EntrySteps.h"
#include "apply/PathRules.h"
#include "apply/Recovery.h"

#include <utility>

namespace QOR::Update
{
    namespace
    {
        ApplyError Error(ApplyStep step, PathPlace place, NativeString path, std::error_code code = {},
                         ApplyReason reason = ApplyReason::System)
        {
            ApplyError error;
            error.step = step;
            error.reason = reason;
            error.code = code;
            error.place = place;
            error.path = std::move(path);
            return error;
        }
    }

    UpdateRun::UpdateRun(FileSystem& fileSystem, ApplySettings settings)
        : _fs(fileSystem), _settings(std::move(settings)), _retry(MakeRetry(_settings.heldFileBudget))
    {
    }

    UpdateRun::~UpdateRun() = default;

    RetryPolicy UpdateRun::MakeRetry(std::chrono::milliseconds budget) const
    {
        return _settings.sleep != nullptr ? RetryPolicy(_fs, budget, _settings.sleep) : RetryPolicy(_fs, budget);
    }

    ApplyResult UpdateRun::Apply()
    {
        NativeString root;
        if (const std::error_code error = _fs.InstallationRoot(root))
        {
            return Error(ApplyStep::FindInstallation, PathPlace::FileSystem, FromAscii("."), error);
        }
        _layout.emplace(std::move(root));

        // 1. What earlier runs left.
        RecoveryOutcome recovered;
        const ApplyResult failed = Recover(_fs, *_layout, _retry, recovered);
        for (std::unique_ptr<Journal>& journal : recovered.finished)
        {
            _finished.push_back(std::move(journal));
        }
        _notes = std::move(recovered.notes);
        if (failed)
        {
            return failed;
        }
        _lostStaged = std::move(recovered.lostStaged);
        _bIsEarlierRunFinished = recovered.bIsEarlierRunFinished;
        return ApplyStaged();
    }

    // Nothing staged: fine when seeing an earlier run through was the whole job.
    ApplyResult UpdateRun::NothingStaged() const
    {
        if (_lostStaged)
        {
            return Error(ApplyStep::ReadStaging, PathPlace::Staged, *_lostStaged, {}, ApplyReason::StagedFileLost);
        }
        if (_bIsEarlierRunFinished)
        {
            return std::nullopt;
        }
        return Error(ApplyStep::ReadStaging, PathPlace::Staged, {},
                     std::make_error_code(std::errc::no_such_file_or_directory));
    }

    ApplyResult UpdateRun::ApplyStaged()
    {
        EntryStatus staging;
        if (const std::error_code error = _fs.StatusFollowingLinks(_layout->Staging(), staging))
        {
            return Error(ApplyStep::ReadStaging, PathPlace::Staged, {}, error);
        }
        if (staging.type == EntryType::Missing)
        {
            return NothingStaged();
        }

        // 2. The plan: nothing changes before it is whole.
        UpdatePlan plan;
        Planner planner(_fs, *_layout, _retry, _settings.planner);
        if (ApplyResult failed = planner.Run(plan))
        {
            return failed;
        }
        if (plan.EntryCount() == 0)
        {
            _bIsStagingLeft = true;
            return std::nullopt;
        }

        // 3. The record, durable before the first change.
        std::unique_ptr<Journal> journal;
        if (ApplyResult failed = Journal::Create(_fs, *_layout, std::move(plan), journal))
        {
            return failed;
        }
        // 4 and 5.
        if (ApplyResult failed = TakeOverStaging(journal))
        {
            return failed;
        }
        if (ApplyResult failed = InstallEntries(journal))
        {
            return failed;
        }
        // 6. From here the update counts.
        if (ApplyResult failed = journal->Commit(&planner.FlushFolders()))
        {
            return FailAndRollBack(journal, journal->Plan().EntryCount(), std::move(*failed));
        }
        _finished.push_back(std::move(journal));
        return std::nullopt;
    }

    // The staged tree becomes the run's own in one rename, so that whatever the launcher stages later
    // cannot be taken for it, and the run's undo never has to look into ./self_update.
    ApplyResult UpdateRun::TakeOverStaging(std::unique_ptr<Journal>& journal)
    {
        const NativeString adopted = _layout->Adopted(journal->Plan().GetTag());
        const std::error_code error = _retry.Run(
            _layout->Staging(), [&] { return _fs.Rename(_layout->Staging(), adopted, RenameMode::NoReplace); });
        if (error)
        {
            ApplyError failure = Error(ApplyStep::TakeOverStaging, PathPlace::Staged, {}, error);
            if (_fs.IsHeldByAnother(error, _layout->Staging()))
            {
                failure.holders = _fs.HoldersOf(_layout->Staging());
            }
            return FailAndRollBack(journal, 0, std::move(failure));
        }
        return std::nullopt;
    }

    ApplyResult UpdateRun::InstallEntries(std::unique_ptr<Journal>& journal)
    {
        const UpdatePlan& plan = journal->Plan();
        EntrySteps steps(_fs, *_layout, plan, _retry);
        std::size_t folder = 0;
        for (std::size_t i = 0; i < plan.EntryCount(); ++i)
        {
            for (; folder < plan.FolderCount() && plan.Folder(folder).entry <= i; ++folder)
            {
                const std::error_code error = _fs.MakeFolder(_layout->Installed(plan.FolderPath(folder)));
                if (error && !IsAlreadyExisting(error))
                {
                    // Reported as the folder the entry needs, as the player knows it.
                    return FailAndRollBack(journal, i,
                                           Error(ApplyStep::MakeFolder, PathPlace::FileSystem,
                                                 _layout->Installed(ParentOf(plan.Path(i))), error));
                }
            }
            if (ApplyResult failed = steps.Install(i))
            {
                return FailAndRollBack(journal, i + 1, std::move(*failed));
            }
        }
        return std::nullopt;
    }

    ApplyResult UpdateRun::FailAndRollBack(std::unique_ptr<Journal>& journal, std::size_t count, ApplyError failure)
    {
        if (const std::error_code error =
                RollBack(_fs, *_layout, _retry, *journal, count, Undoing::ThisRunsMoves, _notes, _lostStaged))
        {
            // The record stays uncommitted; the next run undoes the rest before anything else.
            _notes.push_back({RecoveryNote::Kind::NotPutBack, journal->RecordPath(), error});
            return failure;
        }
        _finished.push_back(std::move(journal));
        return failure;
    }

    Notes UpdateRun::CleanUp()
    {
        Notes notes;
        if (!_layout)
        {
            return notes;
        }
        RetryPolicy retry = MakeRetry(_settings.cleanUpBudget);
        for (std::unique_ptr<Journal>& journal : _finished)
        {
            (void)DiscardRun(_fs, *_layout, retry, *journal, notes);
        }
        _finished.clear();
        return notes;
    }
}
