#pragma once

// How the updater tells the player about a failure: a modal box first, then, once it is closed,
// one error line in the log.

#include <spdlog/common.h>

#include <string>

namespace QOR
{
    class Logger;

    // Shows the box. Texts are made valid UTF-8 first, so no file name can stop the program here.
    void ShowBox(const std::string& boxText, const std::string& title);

    // Shows the box, then logs one Error line under "QOR::LauncherUpdater". Without a logger (logging
    // itself failed) the line goes to standard error. Never throws.
    void ReportFailure(Logger* logger, const spdlog::source_loc& where, const std::string& boxText,
                       const std::string& title, const std::string& logText);

    // Says on standard error that there is no log file this run, and why. Never throws.
    void ReportLogUnavailable(const std::string& reason) noexcept;
}
