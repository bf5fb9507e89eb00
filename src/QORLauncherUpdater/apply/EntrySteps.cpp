// The install of one entry, the discard of its working files, and the small steps the undo shares
// (EntryUndo.cpp holds the undo).

#include "apply/EntrySteps.h"

namespace QOR::Update
{
    EntrySteps::EntrySteps(FileSystem& fileSystem, const Layout& layout, const UpdatePlan& plan, RetryPolicy& retry,
                           Undoing undoing)
        : _fs(fileSystem), _layout(layout), _plan(plan), _retry(retry), _undoing(undoing)
    {
        EntryStatus root;
        _bIsDeviceNumbering = !_fs.StatusFollowingLinks(_layout.Root(), root) && root.id.device == plan.GetRootDevice();
        _bAreIdsKept = _fs.KeepsIdsWhenMoved(_layout.Root());
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
        // Where ids do not survive a move (Linux's vfat swaps names), nothing would tell an undo which of
        // the two swapped files is which: the old one is kept beside its target instead.
        if (_bAreIdsKept && _noExchange.count(device) == 0)
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
        return SecondName(paths.target, paths.backup, paths.partialBackup);
    }

    std::error_code EntrySteps::SecondName(const NativeString& file, const NativeString& name,
                                           const NativeString& working)
    {
        const std::error_code linked = _retry.Run(file, [&] { return _fs.HardLink(file, name); });
        if (!IsLinkUnsupported(linked))
        {
            return linked;
        }
        // No hard links here: a flushed copy, named only once it is whole, so that a cut during the copy
        // never leaves a part of the file under `name` for an undo to take for the whole.
        if (const std::error_code error = _retry.Run(file, [&] { return _fs.CopyToNewFile(file, working); }))
        {
            return error;
        }
        return _fs.Rename(working, name, RenameMode::NoReplace);
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
