#pragma once

// How the updater tells the player and the launcher team about a failure: a modal box first, then, once
// it is closed, one error line in the log. The only place that turns the engine's errors into text.

#include "Failures.h"
#include "apply/ApplyError.h"

#include <filesystem>
#include <string>
#include <string_view>

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

    // The failure an apply error is reported as: F5 for a folder the update could not make, F6 for
    // everything else, naming the staged path as the launcher knows it ("./self_update/...") or the
    // absolute path of anything else. `notes`: what an undo had to leave as it was.
    FailureReport DescribeFailure(const Update::ApplyError& error, const Update::Notes& notes,
                                  Update::FileSystem& fileSystem);
    // What a recovery had to leave as it was, for a warning line; empty when there is nothing to say.
    std::string DescribeNotes(const Update::Notes& notes, Update::FileSystem& fileSystem);

    // The texts of a report, with what it names filled in. The log text is empty for a failure that
    // has no log line.
    std::string BoxText(const FailureReport& report);
    std::string LogText(const FailureReport& report);

    // Shows the box, then, for a failure that has a log line, logs it as one Error line under
    // "QOR::LauncherUpdater". Without a logger (logging itself failed) the line goes to standard error.
    // Texts are made valid UTF-8 first, so no file name can stop the program here. Never throws.
    void ReportFailure(Logger* logger, const FailureReport& report, CallSite where = CallSite::Here()) noexcept;

    // One Warning line, no box: the run went on. Never throws.
    void ReportWarning(Logger* logger, const std::string& text, CallSite where = CallSite::Here()) noexcept;

    // The text of the exception being handled, made valid UTF-8 ("Unknown error." for one that is no
    // std::exception). Called only from a catch block. Never throws.
    std::string CurrentExceptionText() noexcept;

    // Says on standard error that there is no log file this run, and why. Never throws.
    void ReportLogUnavailable(const std::string& reason) noexcept;

    // Replaces invalid UTF-8 sequences by U+FFFD.
    std::string SanitizeUtf8(std::string_view text);

    // UTF-8 text of a path for boxes and log lines. Bytes or code units that are not valid text
    // become U+FFFD, so a strange file name can never stop the message box.
    std::string PathText(const std::filesystem::path& path);
}
