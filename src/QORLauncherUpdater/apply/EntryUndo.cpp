// The undo of one entry, judged from what is at its places (the table in EntrySteps.h).

#include "apply/EntrySteps.h"

namespace QOR::Update
{
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
        if (!_bAreIdsKept && adopted.type == EntryType::Missing && target.type != EntryType::Missing &&
            IsStagingTakenOver())
        {
            return UndoWithoutIds(index, paths, target, adopted, notes);
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
            RestoreInstalled(index, paths.target, notes);
            return IsStagedAt(adopted, entry);
        }
        return UndoOtherAtTarget(index, paths, adopted, notes);
    }

    // Whether the staging folder is in the working folder: before it is taken over, or once an undo has
    // given it back, a staged entry missing there was moved nowhere.
    bool EntrySteps::IsStagingTakenOver()
    {
        if (!_bIsStagingTakenOver)
        {
            EntryStatus staging;
            _bIsStagingTakenOver =
                !_fs.Status(_layout.Adopted(_plan.GetTag()), staging) && staging.type == EntryType::Directory;
        }
        return *_bIsStagingTakenOver;
    }

    bool EntrySteps::UndoWithoutIds(std::size_t index, const Paths& paths, const EntryStatus& target,
                                    const EntryStatus& adopted, Notes& notes)
    {
        const PlanEntry& entry = _plan.Entry(index);
        if (_undoing == Undoing::ThisRunsMoves || !entry.bIsReplacing)
        {
            return UndoNewAtTarget(index, paths, adopted, notes);
        }
        EntryStatus backup;
        if (!Exists(paths.backup, backup, notes))
        {
            return false;
        }
        if (backup.type != EntryType::Missing)
        {
            // By bytes alone: the undo may have given the old file its read-only attribute back already.
            bool bIsOld = false;
            if (target.type == EntryType::File && backup.type == EntryType::File && target.size == backup.size)
            {
                if (const std::error_code error = SameBytes(_fs, paths.target, paths.backup, bIsOld))
                {
                    return Try(paths.target, error, notes); // the next run compares again
                }
            }
            if (!bIsOld)
            {
                return UndoNewAtTarget(index, paths, adopted, notes);
            }
        }
        // The installed file, never replaced, or nothing left to tell it by: it stays, read-only again if
        // it was, and the staged tree is not whole.
        RestoreInstalled(index, paths.target, notes);
        notes.push_back({RecoveryNote::Kind::ChangedByOthers, paths.target, {}});
        return false;
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

    void EntrySteps::RestoreInstalled(std::size_t index, const NativeString& path, Notes& notes)
    {
        if (_plan.Entry(index).bIsTargetReadOnly)
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
            if (_bAreIdsKept)
            {
                notes.push_back({RecoveryNote::Kind::ChangedByOthers, paths.target, {}});
            }
            else
            {
                // Where ids do not last, the installed file itself shows a new one after a mount: nothing
                // says another program changed it, and it is taken to be the one never replaced.
                RestoreInstalled(index, paths.target, notes);
            }
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
        // A copy at A that a cut left partial would be taken for the staged file while the old one moves
        // over T, the new content's only other name: SecondName names it only once it is whole.
        return Try(paths.adopted, SecondName(paths.target, paths.adopted, paths.fresh), notes);
    }
}
