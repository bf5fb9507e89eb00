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
                // An empty folder that cannot go harms nothing and does not hold the roll-back up.
                if (error && !IsNotFound(error) && !IsNotEmpty(error))
                {
                    notes.push_back({RecoveryNote::Kind::WorkingFileKept, folder, error});
                }
            }
        }

        // The taken-over staging folder back where the launcher left it, when it is whole and the place is
        // still free; otherwise it stays in the working folder and goes with it. An error means it should
        // go back and could not: then nothing may discard it yet.
        std::error_code GiveStagingBack(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry,
                                        std::uint64_t tag, bool bIsWhole)
        {
            const NativeString adopted = layout.Adopted(tag);
            EntryStatus taken;
            EntryStatus staging;
            if (!bIsWhole)
            {
                return {};
            }
            if (const std::error_code error = fileSystem.Status(adopted, taken))
            {
                return error;
            }
            if (taken.type == EntryType::Missing)
            {
                return {};
            }
            if (const std::error_code error = fileSystem.Status(layout.Staging(), staging))
            {
                return error;
            }
            if (staging.type != EntryType::Missing)
            {
                return {}; // the launcher has staged anew: that is what gets installed
            }
            return retry.Run(adopted,
                             [&] { return fileSystem.Rename(adopted, layout.Staging(), RenameMode::NoReplace); });
        }

        // The first step of an undo that failed, among `notes` from `first` on.
        const RecoveryNote* FirstFailure(const Notes& notes, std::size_t first)
        {
            for (std::size_t i = first; i < notes.size(); ++i)
            {
                if (notes[i].kind == RecoveryNote::Kind::NotPutBack)
                {
                    return &notes[i];
                }
            }
            return nullptr;
        }
    }

    std::error_code RollBack(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, Journal& journal,
                             std::size_t count, Undoing undoing, Notes& notes, std::optional<NativeString>& lostStaged)
    {
        const UpdatePlan& plan = journal.Plan();
        const std::size_t first = notes.size();
        EntrySteps steps(fileSystem, layout, plan, retry, undoing);
        bool whole = true;
        for (std::size_t i = count; i-- > 0;)
        {
            if (!steps.Undo(i, notes))
            {
                whole = false;
                lostStaged = NativeString(plan.Path(i));
            }
        }
        // A step that failed (not one that found nothing to put back) is tried again by the next run, from
        // the record, which stays as it is until then: no staged file may be given up for a passing error.
        if (const RecoveryNote* failed = FirstFailure(notes, first))
        {
            return failed->code;
        }
        RemoveMadeFolders(fileSystem, layout, plan, notes);
        if (const std::error_code error = GiveStagingBack(fileSystem, layout, retry, plan.GetTag(), whole))
        {
            notes.push_back({RecoveryNote::Kind::NotPutBack, layout.Staging(), error});
            return error;
        }
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
                        RollBack(fileSystem, layout, retry, *journal, journal->Plan().EntryCount(),
                                 Undoing::AnEarlierRunsMoves, outcome.notes, outcome.lostStaged))
                {
                    // Still uncommitted: no new update may go in before this one is undone for good.
                    return RecordFailure(ApplyReason::System, journal->RecordPath(), failed);
                }
                break;
            case RecordState::Committed:
            case RecordState::Abandoned:
                outcome.bIsEarlierRunFinished = true;
                break;
            case RecordState::Leftover:
                break; // what is left goes with this run's clean-up, if it can go now
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
