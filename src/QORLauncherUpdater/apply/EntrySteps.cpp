#include "apply/EntrySteps.h"

namespace QOR::Update
{
    EntrySteps::EntrySteps(FileSystem& fileSystem, const Layout& layout, const UpdatePlan& plan, RetryPolicy& retry)
        : _fs(fileSystem), _layout(layout), _plan(plan), _retry(retry)
    {
        EntryStatus root;
        _bIsDeviceNumbering = !_fs.StatusFollowingLinks(_layout.Root(), root) && root.id.device == plan.GetRootDevice();
    }

    bool EntrySteps::Holds(const EntryStatus& status, const FileId& id) const
    {
        // Device numbers may have changed since the record was made (a remount): then the file number tells.
        return status.type != EntryType::Missing && status.id.file == id.file &&
               (!_bIsDeviceNumbering || status.id.device == id.device);
    }

    // Whether the staged entry is at A. A lies in the run's own folder, where nothing but the run puts
    // anything: what is there is the staged entry, or a whole copy of it an earlier undo made where no hard
    // link could be (a copy has an id of its own), unless it is the replaced file an exchange put there.
    bool EntrySteps::IsStagedAt(const EntryStatus& adopted, const PlanEntry& entry) const
    {
        return adopted.type != EntryType::Missing && !(entry.bIsReplacing && Holds(adopted, entry.installed));
    }

    EntrySteps::Paths EntrySteps::PathsOf(std::size_t index) const
    {
        const NativeView path = _plan.Path(index);
        return {_layout.Adopted(_plan.GetTag(), path), _layout.Installed(path),
                _layout.Beside(_plan, index, JournalFormat::BackupRole),
                _layout.Beside(_plan, index, JournalFormat::PartialBackupRole),
                _layout.Beside(_plan, index, JournalFormat::NewRole)};
    }

    ApplyResult EntrySteps::Failed(std::size_t index, const std::error_code& error, const NativeString& held)
    {
        ApplyError failure;
        failure.code = error;
        if (_plan.Entry(index).kind == EntryKind::Folder)
        {
            // A folder moved in whole is the folder that could not be made.
            failure.step = ApplyStep::InstallFolder;
            failure.place = PathPlace::FileSystem;
            failure.path = _layout.Installed(_plan.Path(index));
        }
        else
        {
            failure.step = ApplyStep::InstallEntry;
            failure.path = NativeString(_plan.Path(index));
        }
        if (_fs.IsHeldByAnother(error, held))
        {
            failure.holders = _fs.HoldersOf(held);
        }
        return failure;
    }

    ApplyResult EntrySteps::Install(std::size_t index)
    {
        const PlanEntry& entry = _plan.Entry(index);
        const Paths paths = PathsOf(index);
        NativeString held = paths.target;
        std::error_code error;
        if (entry.kind == EntryKind::LinkedContent)
        {
            error = CopyIn(index, paths, entry.bIsReplacing, held);
        }
        else if (entry.bIsReplacing)
        {
            error = InstallReplacing(index, paths, held);
        }
        else
        {
            // A folder cannot move while something in it is open; a file, while its target is.
            held = entry.kind == EntryKind::Folder ? paths.adopted : paths.target;
            error = _retry.Run(held, [&] { return _fs.Rename(paths.adopted, paths.target, RenameMode::NoReplace); });
            if (IsCrossDevice(error) && entry.kind != EntryKind::Folder)
            {
                error = CopyIn(index, paths, false, held);
            }
        }
        return error ? Failed(index, error, held) : std::nullopt;
    }

    std::error_code EntrySteps::InstallReplacing(std::size_t index, const Paths& paths, NativeString& held)
    {
        const std::uint64_t device = _plan.Entry(index).installed.device;
        if (_noExchange.count(device) == 0)
        {
            const std::error_code error =
                _retry.Run(held, [&] { return _fs.Rename(paths.adopted, paths.target, RenameMode::Exchange); });
            if (IsCrossDevice(error))
            {
                return CopyIn(index, paths, true, held);
            }
            if (!IsUnsupported(error))
            {
                return error;
            }
            _noExchange.insert(device);
        }
        if (const std::error_code error = KeepBackup(index, paths, held))
        {
            return error;
        }
        const std::error_code error =
            _retry.Run(held, [&] { return _fs.Rename(paths.adopted, paths.target, RenameMode::Replace); });
        return IsCrossDevice(error) ? CopyIn(index, paths, true, held) : error;
    }

    std::error_code EntrySteps::KeepBackup(std::size_t index, const Paths& paths, NativeString& held)
    {
        EntryStatus backup;
        if (const std::error_code error = _fs.Status(paths.backup, backup))
        {
            return error;
        }
        if (backup.type != EntryType::Missing)
        {
            return {}; // kept already, before an exchange or a move turned out to cross file systems
        }
        held = paths.target;
        // A read-only file can be neither replaced nor (on some file systems) linked: the attribute goes
        // for the move, and the undo puts it back, as the record says it was there.
        if (_plan.Entry(index).bIsTargetReadOnly)
        {
            if (const std::error_code error = _fs.SetReadOnly(paths.target, false))
            {
                return error;
            }
        }
        // Waits here, before anything is made, for a target that someone holds open.
        if (const std::error_code error = _retry.Run(held, [&] { return _fs.CheckReplaceable(paths.target); }))
        {
            return error;
        }
        const std::error_code linked = _retry.Run(held, [&] { return _fs.HardLink(paths.target, paths.backup); });
        if (!IsLinkUnsupported(linked))
        {
            return linked;
        }
        // No hard links here: a flushed copy, named as the backup only once it is whole.
        if (const std::error_code error =
                _retry.Run(held, [&] { return _fs.CopyToNewFile(paths.target, paths.partialBackup); }))
        {
            return error;
        }
        return _fs.Rename(paths.partialBackup, paths.backup, RenameMode::NoReplace);
    }

    std::error_code EntrySteps::CopyIn(std::size_t index, const Paths& paths, bool bIsReplacing, NativeString& held)
    {
        if (bIsReplacing)
        {
            if (const std::error_code error = KeepBackup(index, paths, held))
            {
                return error;
            }
        }
        held = paths.adopted;
        std::error_code error = _retry.Run(held, [&] { return _fs.CopyToNewFile(paths.adopted, paths.fresh); });
        if (!error)
        {
            held = paths.target;
            const RenameMode mode = bIsReplacing ? RenameMode::Replace : RenameMode::NoReplace;
            error = _retry.Run(held, [&] { return _fs.Rename(paths.fresh, paths.target, mode); });
        }
        if (error)
        {
            // The undo removes it too; removing it now keeps a full disk from staying full.
            (void)_fs.RemoveFile(paths.fresh);
        }
        return error;
    }

    bool EntrySteps::Try(const NativeString& path, const std::error_code& error, Notes& notes)
    {
        if (error)
        {
            notes.push_back({RecoveryNote::Kind::NotPutBack, path, error});
        }
        return !error;
    }

    bool EntrySteps::Exists(const NativeString& path, EntryStatus& status, Notes& notes)
    {
        const std::error_code error = _fs.Status(path, status);
        if (error)
        {
            notes.push_back({RecoveryNote::Kind::NotPutBack, path, error});
            return false;
        }
        return true;
    }

    void EntrySteps::RemoveIfPresent(const NativeString& path, Notes& notes)
    {
        EntryStatus status;
        if (!Exists(path, status, notes) || status.type == EntryType::Missing)
        {
            return;
        }
        const std::error_code error = _retry.Run(path, [&] { return _fs.RemoveFile(path); });
        if (error && !IsNotFound(error))
        {
            notes.push_back({RecoveryNote::Kind::WorkingFileKept, path, error});
        }
    }

    bool EntrySteps::Undo(std::size_t index, Notes& notes)
    {
        // Whichever way it came back, the staged file at A has its own attribute again (an undo that made it
        // writable may have died before it could say so).
        const bool bIsStagedBack = UndoSteps(index, notes);
        if (bIsStagedBack)
        {
            RestoreStaged(index, PathsOf(index).adopted, notes);
        }
        return bIsStagedBack;
    }

    bool EntrySteps::UndoSteps(std::size_t index, Notes& notes)
    {
        const PlanEntry& entry = _plan.Entry(index);
        const Paths paths = PathsOf(index);
        RemoveIfPresent(paths.fresh, notes);
        RemoveIfPresent(paths.partialBackup, notes);
        EntryStatus target;
        EntryStatus adopted;
        if (!Exists(paths.target, target, notes) || !Exists(paths.adopted, adopted, notes))
        {
            return false;
        }
        if (Holds(target, entry.staged))
        {
            return UndoNewAtTarget(index, paths, adopted, notes);
        }
        if (target.type == EntryType::Missing)
        {
            return UndoMissingTarget(index, paths, adopted, notes);
        }
        if (entry.bIsReplacing && Holds(target, entry.installed))
        {
            // Never replaced, but maybe made writable for the move.
            if (entry.bIsTargetReadOnly)
            {
                Try(paths.target, _fs.SetReadOnly(paths.target, true), notes);
            }
            return IsStagedAt(adopted, entry);
        }
        return UndoOtherAtTarget(index, paths, adopted, notes);
    }

    bool EntrySteps::UndoMissingTarget(std::size_t index, const Paths& paths, const EntryStatus& adopted, Notes& notes)
    {
        const PlanEntry& entry = _plan.Entry(index);
        EntryStatus backup;
        if (!entry.bIsReplacing || !Exists(paths.backup, backup, notes))
        {
            // A new entry that went away since: there is nothing to put back.
            return IsStagedAt(adopted, entry);
        }
        if (backup.type != EntryType::Missing)
        {
            Try(paths.target, PutOldBack(index, paths.backup, paths, RenameMode::NoReplace), notes);
        }
        else if (Holds(adopted, entry.installed))
        {
            Try(paths.target, PutOldBack(index, paths.adopted, paths, RenameMode::NoReplace), notes);
        }
        else
        {
            notes.push_back({RecoveryNote::Kind::OldVersionGone, paths.target, {}});
        }
        return IsStagedAt(adopted, entry);
    }

    std::error_code EntrySteps::PutOldBack(std::size_t index, const NativeString& from, const Paths& paths,
                                           RenameMode mode)
    {
        // Read-only again before it moves, so that it is never at its place without the attribute.
        if (_plan.Entry(index).bIsTargetReadOnly)
        {
            if (const std::error_code error = _fs.SetReadOnly(from, true))
            {
                return error;
            }
        }
        if (mode == RenameMode::Replace)
        {
            // What it replaces (the staged file, or our copy of one) may be read-only itself.
            EntryStatus target;
            std::error_code error = _fs.Status(paths.target, target);
            if (!error && target.bIsReadOnly)
            {
                error = _fs.SetReadOnly(paths.target, false);
            }
            if (error)
            {
                return error;
            }
        }
        return _retry.Run(paths.target, [&] { return _fs.Rename(from, paths.target, mode); });
    }

    void EntrySteps::RestoreStaged(std::size_t index, const NativeString& path, Notes& notes)
    {
        if (_plan.Entry(index).bIsStagedReadOnly)
        {
            Try(path, _fs.SetReadOnly(path, true), notes);
        }
    }

    bool EntrySteps::UndoNewAtTarget(std::size_t index, const Paths& paths, const EntryStatus& adopted, Notes& notes)
    {
        const PlanEntry& entry = _plan.Entry(index);
        if (entry.bIsReplacing && Holds(adopted, entry.installed))
        {
            return Try(
                paths.target,
                _retry.Run(paths.target, [&] { return _fs.Rename(paths.adopted, paths.target, RenameMode::Exchange); }),
                notes);
        }
        if (!entry.bIsReplacing)
        {
            return UndoNewEntry(index, paths, adopted, notes);
        }
        EntryStatus backup;
        if (!Exists(paths.backup, backup, notes))
        {
            return false;
        }
        const bool stagedBack =
            adopted.type == EntryType::Missing ? PutStagedBack(index, paths, notes) : IsStagedAt(adopted, entry);
        if (backup.type == EntryType::Missing)
        {
            // Nothing left of the old version: the new one stays, and the staged tree stays whole with it.
            notes.push_back({RecoveryNote::Kind::OldVersionGone, paths.target, {}});
            RestoreStaged(index, paths.target, notes);
            return stagedBack;
        }
        if (!stagedBack)
        {
            return false; // T is the staged file's only name: it stays until it can be put back
        }
        Try(paths.target, PutOldBack(index, paths.backup, paths, RenameMode::Replace), notes);
        return true;
    }

    bool EntrySteps::UndoNewEntry(std::size_t index, const Paths& paths, const EntryStatus& adopted, Notes& notes)
    {
        if (adopted.type != EntryType::Missing)
        {
            // Put back already by an earlier undo that did not get to remove T.
            Try(paths.target, _retry.Run(paths.target, [&] { return _fs.RemoveFile(paths.target); }), notes);
            return true;
        }
        if (Try(paths.target,
                _retry.Run(paths.target,
                           [&] { return _fs.Rename(paths.target, paths.adopted, RenameMode::NoReplace); }),
                notes))
        {
            return true;
        }
        // It stays installed; a second name keeps the staged tree whole for the next apply.
        return _plan.Entry(index).kind != EntryKind::Folder && PutStagedBack(index, paths, notes);
    }

    bool EntrySteps::UndoOtherAtTarget(std::size_t index, const Paths& paths, const EntryStatus& adopted, Notes& notes)
    {
        const PlanEntry& entry = _plan.Entry(index);
        // A link whose content was installed is compared by that content.
        NativeString source = paths.adopted;
        bool same = false;
        if (!IsStagedAt(adopted, entry) ||
            (entry.kind == EntryKind::LinkedContent && _fs.FinalPath(paths.adopted, source)) ||
            SameContent(_fs, source, paths.target, same) || !same)
        {
            notes.push_back({RecoveryNote::Kind::ChangedByOthers, paths.target, {}});
            return IsStagedAt(adopted, entry);
        }
        // Our copy from another file system (or bytes equal to it).
        if (!entry.bIsReplacing)
        {
            Try(paths.target, _retry.Run(paths.target, [&] { return _fs.RemoveFile(paths.target); }), notes);
            return true;
        }
        EntryStatus backup;
        if (!Exists(paths.backup, backup, notes))
        {
            return true;
        }
        if (backup.type == EntryType::Missing)
        {
            notes.push_back({RecoveryNote::Kind::OldVersionGone, paths.target, {}});
            return true;
        }
        Try(paths.target, PutOldBack(index, paths.backup, paths, RenameMode::Replace), notes);
        return true;
    }

    bool EntrySteps::PutStagedBack(std::size_t index, const Paths& paths, Notes& notes)
    {
        // A read-only file cannot be linked everywhere: writable for it, read-only again once the undo ends.
        if (_plan.Entry(index).bIsStagedReadOnly && !Try(paths.target, _fs.SetReadOnly(paths.target, false), notes))
        {
            return false;
        }
        const std::error_code linked =
            _retry.Run(paths.target, [&] { return _fs.HardLink(paths.target, paths.adopted); });
        if (!IsLinkUnsupported(linked))
        {
            return Try(paths.adopted, linked, notes);
        }
        // A copy is named A only once it is whole and flushed: a power cut during it must not leave at A
        // a file the next undo takes for the staged one while it moves the old file over T, the new
        // content's only other name.
        std::error_code error = _retry.Run(paths.target, [&] { return _fs.CopyToNewFile(paths.target, paths.fresh); });
        if (!error)
        {
            error = _fs.Rename(paths.fresh, paths.adopted, RenameMode::NoReplace);
        }
        return Try(paths.adopted, error, notes);
    }

    void EntrySteps::Discard(std::size_t index, Notes& notes)
    {
        if (_plan.Entry(index).kind == EntryKind::Folder)
        {
            return;
        }
        const Paths paths = PathsOf(index);
        RemoveIfPresent(paths.fresh, notes);
        RemoveIfPresent(paths.partialBackup, notes);
        if (_plan.Entry(index).bIsReplacing)
        {
            RemoveIfPresent(paths.backup, notes);
        }
    }
}
