#include "apply/Journal.h"

#include "apply/JournalFormat.h"
#include "apply/PathRules.h"

#include <unordered_set>
#include <utility>

namespace QOR::Update
{
    namespace
    {
        const char* RecordName(RecordState state)
        {
            switch (state)
            {
            case RecordState::Committed:
                return JournalFormat::CommittedName;
            case RecordState::Abandoned:
                return JournalFormat::AbandonedName;
            case RecordState::Leftover:
                return JournalFormat::LeftoverName;
            default:
                return JournalFormat::JournalName;
            }
        }

        // A tag whose working names can meet no staged name: neither the folder at the top nor a file
        // beside any entry.
        bool MeetsStagedName(FileSystem& fileSystem, const UpdatePlan& plan, std::uint64_t tag)
        {
            const NativeString folded = fileSystem.FoldCase(JournalFormat::WorkFolderName(tag));
            for (std::size_t i = 0; i < plan.EntryCount(); ++i)
            {
                const NativeView name = NameOf(plan.Path(i));
                if (name.size() >= folded.size() &&
                    fileSystem.FoldCase(NativeString(name.substr(0, folded.size()))) == folded)
                {
                    return true;
                }
            }
            return false;
        }

        ApplyError RecordError(const NativeString& path, const std::error_code& error)
        {
            ApplyError failure;
            failure.step = ApplyStep::WriteRecord;
            failure.code = error;
            failure.place = PathPlace::FileSystem;
            failure.path = path;
            return failure;
        }
    }

    Journal::Journal(FileSystem& fileSystem, const Layout& layout, UpdatePlan plan, RecordState state)
        : _fs(fileSystem), _layout(layout), _plan(std::move(plan)), _state(state)
    {
    }

    Journal::~Journal() = default;

    NativeString Journal::RecordPath() const
    {
        return _layout.Record(_plan.GetTag(), RecordName(_state));
    }

    namespace
    {
        // Draws tags until one gives names no staged name can meet and a folder that is new.
        std::error_code MakeWorkFolder(FileSystem& fileSystem, const Layout& layout, UpdatePlan& plan)
        {
            std::error_code error = std::make_error_code(std::errc::file_exists);
            for (int attempt = 0; attempt < 16 && IsAlreadyExisting(error); ++attempt)
            {
                const std::uint64_t tag = fileSystem.RandomBits();
                if (!MeetsStagedName(fileSystem, plan, tag))
                {
                    plan.SetTag(tag);
                    error = fileSystem.MakeFolder(layout.WorkFolder(tag));
                }
            }
            return error;
        }

        // The record, and every staged byte the moves will expose, durable before the first change.
        std::error_code FlushBeforeTheFirstChange(FileSystem& fileSystem, const Layout& layout)
        {
            std::unordered_set<std::uint64_t> devices;
            for (const NativeString& folder : {layout.Root(), layout.Staging()})
            {
                EntryStatus status;
                std::error_code error = fileSystem.StatusFollowingLinks(folder, status);
                if (!error && devices.insert(status.id.device).second)
                {
                    error = fileSystem.FlushFileSystem(folder);
                }
                if (error)
                {
                    return error;
                }
            }
            return {};
        }

        // The one record name present in the folder; Damaged for two (one run never makes that, so never
        // guess), NotOurs for none or for a folder or link of that name.
        RecordState FindRecord(FileSystem& fileSystem, const Layout& layout, std::uint64_t tag, std::error_code& error)
        {
            RecordState found = RecordState::NotOurs;
            for (const RecordState state :
                 {RecordState::Uncommitted, RecordState::Committed, RecordState::Abandoned, RecordState::Leftover})
            {
                EntryStatus status;
                if ((error = fileSystem.Status(layout.Record(tag, RecordName(state)), status)))
                {
                    return RecordState::Unreadable;
                }
                if (status.type == EntryType::Missing)
                {
                    continue;
                }
                if (status.type != EntryType::File)
                {
                    return RecordState::NotOurs;
                }
                if (found != RecordState::NotOurs)
                {
                    return RecordState::Damaged;
                }
                found = state;
            }
            return found;
        }

        // A folder without a record: empty, a draft cut short alone in it, or someone else's.
        RecordState WithoutRecord(FileSystem& fileSystem, const Layout& layout, std::uint64_t tag)
        {
            std::unique_ptr<Listing> listing;
            if (fileSystem.OpenListing(layout.WorkFolder(tag), false, listing))
            {
                return RecordState::NotOurs;
            }
            NativeString name;
            EntryType type = EntryType::Missing;
            std::size_t count = 0;
            bool onlyDraft = true;
            std::error_code error;
            while (listing->Next(name, type, error))
            {
                ++count;
                onlyDraft = onlyDraft && type == EntryType::File && name == FromAscii(JournalFormat::DraftName);
            }
            if (error || count > 1)
            {
                return RecordState::NotOurs;
            }
            if (count == 0)
            {
                return RecordState::Empty;
            }
            std::string draft;
            return onlyDraft && !ReadWholeFile(fileSystem, layout.Record(tag, JournalFormat::DraftName), draft) &&
                           JournalFormat::LooksLikeRecordStart(draft)
                       ? RecordState::Torn
                       : RecordState::NotOurs;
        }
    }

    ApplyResult Journal::Create(FileSystem& fileSystem, const Layout& layout, UpdatePlan plan,
                                std::unique_ptr<Journal>& journal)
    {
        if (const std::error_code error = MakeWorkFolder(fileSystem, layout, plan))
        {
            return RecordError(layout.Root(), error);
        }
        const std::uint64_t tag = plan.GetTag();
        const NativeString draft = layout.Record(tag, JournalFormat::DraftName);
        const NativeString record = layout.Record(tag, JournalFormat::JournalName);
        auto made =
            std::unique_ptr<Journal>(new Journal(fileSystem, layout, std::move(plan), RecordState::Uncommitted));
        // One flush for the record and the staged data, then the record's name: a cut before the name is on
        // the disk leaves a draft, and nothing has changed yet; the first change comes after the name.
        std::error_code error = fileSystem.WriteNewFile(draft, JournalFormat::Serialize(made->_plan));
        if (!error)
        {
            error = FlushBeforeTheFirstChange(fileSystem, layout);
        }
        if (!error)
        {
            error = fileSystem.Rename(draft, record, RenameMode::NoReplace);
        }
        if (!error)
        {
            error = fileSystem.TryLock(record, made->_lock);
        }
        if (error)
        {
            made->_lock.reset();
            (void)fileSystem.RemoveFile(draft);
            (void)fileSystem.RemoveFile(record);
            (void)fileSystem.RemoveEmptyFolder(layout.WorkFolder(tag));
            return RecordError(layout.WorkFolder(tag), error);
        }
        journal = std::move(made);
        return std::nullopt;
    }

    RecordState Journal::Inspect(FileSystem& fileSystem, const Layout& layout, std::uint64_t tag,
                                 std::unique_ptr<Journal>& journal, std::error_code& error)
    {
        const RecordState found = FindRecord(fileSystem, layout, tag, error);
        if (found == RecordState::NotOurs && !error)
        {
            return WithoutRecord(fileSystem, layout, tag);
        }
        if (found == RecordState::NotOurs || found == RecordState::Damaged || found == RecordState::Unreadable)
        {
            return found;
        }
        const NativeString path = layout.Record(tag, RecordName(found));
        std::unique_ptr<FileLock> lock;
        error = fileSystem.TryLock(path, lock);
        if (IsLockedByAnother(error))
        {
            return RecordState::Busy;
        }
        std::string bytes;
        if (error || (error = ReadWholeFile(fileSystem, path, bytes)))
        {
            return RecordState::Unreadable;
        }
        if (!JournalFormat::LooksLikeRecordStart(bytes))
        {
            return RecordState::NotOurs; // a file of that name, but not of this program
        }
        UpdatePlan plan;
        if (JournalFormat::Parse(bytes, plan) != JournalFormat::ParseResult::Whole || plan.GetTag() != tag)
        {
            return RecordState::Damaged;
        }
        journal = std::unique_ptr<Journal>(new Journal(fileSystem, layout, std::move(plan), found));
        journal->_lock = std::move(lock);
        return found;
    }

    std::vector<NativeString> Journal::FileSystemFolders() const
    {
        std::vector<NativeString> folders{_layout.Root()};
        std::unordered_set<NativeString> parents;
        for (std::size_t i = 0; i < _plan.EntryCount(); ++i)
        {
            if (parents.insert(NativeString(ParentOf(_plan.Path(i)))).second && !ParentOf(_plan.Path(i)).empty())
            {
                folders.push_back(_layout.Installed(ParentOf(_plan.Path(i))));
            }
        }
        std::unordered_set<std::uint64_t> devices;
        std::vector<NativeString> distinct;
        for (const NativeString& folder : folders)
        {
            EntryStatus status;
            // A folder that is gone holds nothing to flush.
            if (!_fs.StatusFollowingLinks(folder, status) && status.type == EntryType::Directory &&
                devices.insert(status.id.device).second)
            {
                distinct.push_back(folder);
            }
        }
        return distinct;
    }

    std::error_code Journal::MoveTo(RecordState state, const std::vector<NativeString>* fileSystems)
    {
        for (const NativeString& folder : fileSystems != nullptr ? *fileSystems : FileSystemFolders())
        {
            if (const std::error_code error = _fs.FlushFileSystem(folder))
            {
                return error;
            }
        }
        // Not flushed itself: a cut that loses this rename leaves the run uncommitted (or not yet abandoned),
        // which the next run undoes again from the record; nothing done after it reaches the disk before it.
        return Rename(state);
    }

    std::error_code Journal::Rename(RecordState state)
    {
        const NativeString to = _layout.Record(_plan.GetTag(), RecordName(state));
        if (const std::error_code error = _fs.Rename(RecordPath(), to, RenameMode::NoReplace))
        {
            return error;
        }
        _state = state;
        return {};
    }

    ApplyResult Journal::Commit(const std::vector<NativeString>* fileSystems)
    {
        if (const std::error_code error = MoveTo(RecordState::Committed, fileSystems))
        {
            ApplyError failure = RecordError(RecordPath(), error);
            failure.step = ApplyStep::Commit;
            return failure;
        }
        return std::nullopt;
    }

    std::error_code Journal::Abandon()
    {
        return MoveTo(RecordState::Abandoned, nullptr);
    }

    std::error_code Journal::KeepLeftovers()
    {
        return _state == RecordState::Leftover ? std::error_code() : Rename(RecordState::Leftover);
    }

    std::error_code Journal::Remove()
    {
        if (const std::error_code error = _fs.RemoveFile(RecordPath()))
        {
            return error;
        }
        // Released before the folder goes: on Windows a removed file that is still open keeps its folder.
        _lock.reset();
        return _fs.RemoveEmptyFolder(_layout.WorkFolder(_plan.GetTag()));
    }
}
