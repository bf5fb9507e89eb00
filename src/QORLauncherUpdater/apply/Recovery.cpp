#include "apply/Recovery.h"

#include "apply/EntrySteps.h"
#include "apply/JournalFormat.h"

#include <utility>

namespace QOR::Update
{
    namespace
    {
        // The working folders at the top of the installation, by tag.
        std::error_code FindWorkFolders(FileSystem& fileSystem, const Layout& layout, std::vector<std::uint64_t>& tags)
        {
            std::unique_ptr<Listing> listing;
            if (const std::error_code error = fileSystem.OpenListing(layout.Root(), true, listing))
            {
                return error;
            }
            NativeString name;
            EntryType type = EntryType::Missing;
            std::error_code error;
            while (listing->Next(name, type, error))
            {
                std::uint64_t tag = 0;
                if (type == EntryType::Directory && JournalFormat::ParseWorkFolderName(name, tag))
                {
                    tags.push_back(tag);
                }
            }
            return error;
        }

        ApplyError RecordFailure(ApplyReason reason, const NativeString& path, const std::error_code& error)
        {
            ApplyError failure;
            failure.step = ApplyStep::ReadRecord;
            failure.reason = reason;
            failure.code = error;
            failure.place = PathPlace::FileSystem;
            failure.path = path;
            return failure;
        }

        // Folders the run made, last first, while they are empty: something of someone else's in one keeps it.
        void RemoveMadeFolders(FileSystem& fileSystem, const Layout& layout, const UpdatePlan& plan, Notes& notes)
        {
            for (std::size_t i = plan.FolderCount(); i-- > 0;)
            {
                const NativeString folder = layout.Installed(plan.FolderPath(i));
                EntryStatus status;
                if (fileSystem.Status(folder, status) || status.type != EntryType::Directory)
                {
                    continue;
                }
                const std::error_code error = fileSystem.RemoveEmptyFolder(folder);
                if (error && !IsNotFound(error) && !IsNotEmpty(error))
                {
                    notes.push_back({RecoveryNote::Kind::NotPutBack, folder, error});
                }
            }
        }

        // The taken-over staging folder back where the launcher left it, when it is whole and the place is
        // free; otherwise it stays in the working folder and goes with it.
        void GiveStagingBack(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, std::uint64_t tag,
                             bool bIsWhole, Notes& notes)
        {
            const NativeString adopted = layout.Adopted(tag);
            EntryStatus taken;
            EntryStatus staging;
            if (!bIsWhole || fileSystem.Status(adopted, taken) || taken.type == EntryType::Missing ||
                fileSystem.Status(layout.Staging(), staging) || staging.type != EntryType::Missing)
            {
                return;
            }
            const std::error_code error =
                retry.Run(adopted, [&] { return fileSystem.Rename(adopted, layout.Staging(), RenameMode::NoReplace); });
            if (error)
            {
                notes.push_back({RecoveryNote::Kind::NotPutBack, layout.Staging(), error});
            }
        }
    }

    std::error_code RollBack(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, Journal& journal,
                             std::size_t count, Notes& notes, std::optional<NativeString>& lostStaged)
    {
        const UpdatePlan& plan = journal.Plan();
        EntrySteps steps(fileSystem, layout, plan, retry);
        bool whole = true;
        for (std::size_t i = count; i-- > 0;)
        {
            if (!steps.Undo(i, notes))
            {
                whole = false;
                lostStaged = NativeString(plan.Path(i));
            }
        }
        RemoveMadeFolders(fileSystem, layout, plan, notes);
        GiveStagingBack(fileSystem, layout, retry, plan.GetTag(), whole, notes);
        return journal.Abandon();
    }

    namespace
    {
        // Sees one working folder through, by what it holds.
        ApplyResult RecoverFolder(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, std::uint64_t tag,
                                  RecoveryOutcome& outcome)
        {
            std::unique_ptr<Journal> journal;
            std::error_code error;
            switch (Journal::Inspect(fileSystem, layout, tag, journal, error))
            {
            case RecordState::NotOurs:
            case RecordState::Busy:
                return std::nullopt;
            case RecordState::Torn:
                (void)fileSystem.RemoveFile(layout.Record(tag, JournalFormat::DraftName));
                (void)fileSystem.RemoveEmptyFolder(layout.WorkFolder(tag));
                return std::nullopt;
            case RecordState::Empty:
                // What a finished run leaves when it dies between removing its record and its folder, or a
                // run's folder an instant before its clean-up removes it: nothing to see through.
                (void)fileSystem.RemoveEmptyFolder(layout.WorkFolder(tag));
                return std::nullopt;
            case RecordState::Damaged:
                return RecordFailure(ApplyReason::DamagedRecord, layout.WorkFolder(tag), error);
            case RecordState::Unreadable:
                return RecordFailure(ApplyReason::UnreadableRecord, layout.WorkFolder(tag), error);
            case RecordState::Uncommitted:
                if (const std::error_code failed =
                        RollBack(fileSystem, layout, retry, *journal, journal->Plan().EntryCount(), outcome.notes,
                                 outcome.lostStaged))
                {
                    // Still uncommitted: no new update may go in before this one is undone for good.
                    return RecordFailure(ApplyReason::System, journal->RecordPath(), failed);
                }
                break;
            case RecordState::Committed:
            case RecordState::Abandoned:
                outcome.bIsEarlierRunFinished = true;
                break;
            }
            outcome.finished.push_back(std::move(journal));
            return std::nullopt;
        }
    }

    ApplyResult Recover(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, RecoveryOutcome& outcome)
    {
        std::vector<std::uint64_t> tags;
        if (const std::error_code error = FindWorkFolders(fileSystem, layout, tags))
        {
            ApplyError failure = RecordFailure(ApplyReason::System, layout.Root(), error);
            failure.step = ApplyStep::FindInstallation;
            return failure;
        }
        for (const std::uint64_t tag : tags)
        {
            if (ApplyResult failed = RecoverFolder(fileSystem, layout, retry, tag, outcome))
            {
                return failed;
            }
        }
        return std::nullopt;
    }
}
