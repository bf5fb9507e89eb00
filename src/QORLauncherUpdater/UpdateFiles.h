#pragma once

// The update as the procedure in main runs it, on the system's file system: apply the staged tree,
// remove the staging folder, and, once the launcher runs again, clean up. Failures are reported here
// (box, then log line); the engine below (apply/) makes no text.

#include "apply/Apply.h"

#include <filesystem>
#include <optional>
#include <string>

namespace QOR
{
    class Logger;

    // The engine's settings for this process: the updater's own name and file, which are never installed
    // over, and its own log, which a staged file may not replace.
    Update::ApplySettings SystemApplySettings();

    // Repairs what interrupted runs left, then applies ./self_update all or nothing (apply/Apply.h). Returns
    // true when every eligible file is installed; a failure is reported and the installation and
    // ./self_update are as they were. What a recovery had to leave as it was is logged as a warning.
    bool CopyUpdateFiles(Logger* logger, Update::UpdateRun& run);

    // Deletes ./self_update when nothing was installed from it; otherwise the run took it over and its
    // clean-up deletes it. A failure is reported with a box only and not passed on.
    void RemoveUpdateFiles(Logger* logger, const Update::UpdateRun& run);

    // After the launcher is started and the single-instance lock let go: removes what this and earlier
    // runs left (the replaced files, the old staging folder, the records), at idle disk priority. What
    // cannot be removed now, the next run removes.
    void CleanUpUpdateFiles(Update::UpdateRun& run) noexcept;

    // Where the log file "./log/self_updater_log.txt" is opened: as written on Linux; on Windows as an
    // absolute "\\?\" path, so a deep installation keeps its log, with its folder made beforehand (the
    // logging library cannot make folders on such a path). Empty, with the reason, when something that
    // is no regular file is in its place: opening a FIFO would block the updater for ever. Never throws.
    std::optional<std::filesystem::path> LogFilePath(std::string& reason);
}
