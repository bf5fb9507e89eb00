#pragma once

// What went wrong in an update, as a value: the step, why, the system's code, and the path concerned.
// No text is made here; Report turns these into the box and log texts.

#include "platform/FileSystem.h"

#include <optional>
#include <system_error>
#include <vector>

namespace QOR::Update
{
    enum class ApplyStep : std::uint8_t
    {
        FindInstallation, // the installation folder itself
        ReadRecord,       // an earlier run's record
        ReadStaging,      // the staging folder and its entries
        MakeFolder,       // a folder a file needs
        WriteRecord,      // this run's record and working folder
        TakeOverStaging,  // moving ./self_update into the working folder
        InstallEntry,     // moving or copying one entry into place
        InstallFolder,    // moving a whole folder into place
        Commit,           // the flushes and the rename that make the update count
    };

    enum class ApplyReason : std::uint8_t
    {
        System,           // `code` tells
        LeadsOutside,     // a staged link leads out of the staged tree
        LandsInStaging,   // a staged entry would be installed inside ./self_update
        TargetIsFolder,   // a staged file's place in the installation is a folder
        NamesCollide,     // two staged names are one name in the installation; `otherPath` is the first
        OwnLog,           // a staged file would land on the updater's own log file
        ShortName,        // a staged name is a short (8.3) name of another installed entry, `otherPath`
        DamagedRecord,    // an earlier run's record is there but is not whole
        UnreadableRecord, // an earlier run's record is there but cannot be read (`code` tells why)
        StagedFileLost,   // an interrupted run's staged file is gone, so its update can no longer be applied
    };

    // Where a path lies: below the staging folder (relative, shown as "./self_update/..."), or anywhere
    // else (a path the file system takes, shown in its absolute form).
    enum class PathPlace : std::uint8_t
    {
        Staged,
        FileSystem,
    };

    struct ApplyError
    {
        ApplyStep step = ApplyStep::InstallEntry;
        ApplyReason reason = ApplyReason::System;
        std::error_code code;
        PathPlace place = PathPlace::Staged;
        NativeString path;
        NativeString otherPath;
        PathPlace otherPlace = PathPlace::Staged;
        // Programs that hold the file open, where the system can tell.
        std::string holders;
    };

    // Something a recovery or an undo could not put back, or a file of the run it could not remove yet.
    // It is left as it is and named in the log; the run goes on.
    struct RecoveryNote
    {
        enum class Kind : std::uint8_t
        {
            OldVersionGone,  // the installed file the run replaced is gone: the new one stays
            ChangedByOthers, // the entry was changed by someone else since: left as it is
            NotPutBack,      // putting it back failed (`code`); the next run tries again
            WorkingFileKept, // a working file of the run could not be removed yet (`code`)
        };

        Kind kind = Kind::NotPutBack;
        NativeString path; // as the file system takes it
        std::error_code code;
    };

    using Notes = std::vector<RecoveryNote>;

    // Nothing, or the error.
    using ApplyResult = std::optional<ApplyError>;
}
