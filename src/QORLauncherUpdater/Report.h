#pragma once

// How the updater tells the player about a failure: a modal box first, then, once it is closed,
// one error line in the log.

#include "Failures.h"

#include <string>

namespace QOR
{
    class Logger;

    // Where a failure is reported, for its log line: the caller's file, line and function, filled in
    // by the default arguments at the call. (std::source_location does the same, but the clang of the
    // fuzzing build does not have it with this standard library.)
    struct CallSite
    {
        const char* file;
        int line;
        const char* function;

        static constexpr CallSite Here(const char* file = __builtin_FILE(), int line = __builtin_LINE(),
                                       const char* function = __builtin_FUNCTION()) noexcept
        {
            return {file, line, function};
        }
    };

    // The texts of a report, with what it names filled in. The log text is empty for a failure that
    // has no log line.
    std::string BoxText(const FailureReport& report);
    std::string LogText(const FailureReport& report);

    // Shows the box, then, for a failure that has a log line, logs it as one Error line under
    // "QOR::LauncherUpdater". Without a logger (logging itself failed) the line goes to standard error.
    // Texts are made valid UTF-8 first, so no file name can stop the program here. Never throws.
    void ReportFailure(Logger* logger, const FailureReport& report, CallSite where = CallSite::Here()) noexcept;

    // Says on standard error that there is no log file this run, and why. Never throws.
    void ReportLogUnavailable(const std::string& reason) noexcept;
}
