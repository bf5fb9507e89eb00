#pragma once

// Applies the staged update tree "./self_update" to the installation (the current directory), all
// or nothing, and removes the staging tree afterwards.
//
// Staged files are moved into place, not copied; every replaced file is kept until the whole update
// is in, so a failure puts every installed file and every staged file back as it was. A journal
// written and flushed before the first change lets the next run undo a run that was killed, or finish
// one that was killed after its last change.

#include "Failures.h"

#include <qor/Utility/LauncherProtocol.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace QOR
{
    class Logger;

    // Undoes or finishes an interrupted update, then applies the staged tree. Returns true when every
    // eligible file is installed; after a failure it reports it (box, then log line) and returns false,
    // with the installation and the staging tree as they were.
    bool CopyUpdateFiles(Logger* logger);

    // Deletes the staging tree. A failure is reported (a box only) and not passed on.
    void RemoveUpdateFiles(Logger* logger);

    // Deletes the files the update replaced, kept until now so that a failure could put them back, and
    // its journal. Called once the launcher is started: freeing many files can take seconds, which the
    // player does not wait for. What cannot be deleted now, the next run deletes.
    void RemoveReplacedFiles();

    namespace Update
    {
        // Nothing, or the failure to report.
        using Outcome = std::optional<FailureReport>;

        // The copy itself, working on the current directory, without reporting. Never throws.
        Outcome CopyUpdateTree();

        // The removal itself, without reporting. Never throws.
        Outcome RemoveUpdateTree();

        // Where the log file "./log/self_updater_log.txt" is opened: as written on Linux; on Windows as an
        // absolute "\\?\" path, so a deep installation keeps its log, with its folder made beforehand
        // (the logging library cannot make folders on such a path). Never throws.
        std::filesystem::path LogFilePath();

        // UTF-8 text of a path for boxes and log lines. Bytes or code units that are not valid text
        // become U+FFFD, so a strange file name can never stop the message box.
        std::string PathText(const std::filesystem::path& path);

        // Replaces invalid UTF-8 sequences by U+FFFD.
        std::string SanitizeUtf8(std::string_view text);
    }
}
