#pragma once

// Platform-neutral pieces of the Utility unit, shared by both backends and tested on every platform.

#include "qor/Foundation/Foundation.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace QOR::Detail
{
    class SystemTextConverter;

    inline constexpr const char* MutexAlreadyExists = "Already exists.";
    inline constexpr const char* MutexAccessDenied = "Access denied.";
    inline constexpr const char* MutexUnableToCreate = "Unable to create mutex.";

    // The texts of the result records, made from the cause where a helper returns.
    //  "Unable to create process. WinAPI Error: <code>", or the conversion's own name
    //  ("InvalidParameter") for a path or command line the system could not convert.
    Win32Error LaunchError(const std::error_code& cause);
    //  "Unable to release Mutex. Win32API error code: <code>."
    Win32Error ReleaseError(const std::error_code& cause);
    //  A name that cannot be one mutex: "Unable to create mutex.", or the conversion's own name.
    Win32Error MutexNameError(const std::error_code& cause);

    // Windows command line: the path, quoted when arguments follow (an unquoted path with blanks would
    // let the system start "C:\Program.exe"), then one blank and the arguments. Empty when the path
    // cannot be quoted (it contains a '"', which no Windows file name does).
    std::optional<std::string> BuildCommandLine(const std::string& path, const std::string& arguments);

    // Starts that may be made again: Wine now and then loses a new process while the system is still setting
    // it up, before a line of it ran, and reports an internal error (`stillborn`); the next start succeeds.
    // Calls `start` until it succeeds, fails otherwise, or has been tried `attempts` times; its last answer.
    inline constexpr int ProcessStartAttempts = 3;
    std::error_code RetryStillbornStart(const std::function<std::error_code()>& start, const std::error_code& stillborn,
                                        int attempts = ProcessStartAttempts);

    // Splits an argument string the way the Windows C runtime builds argv, so a program started with
    // the same arguments sees the same words on every platform.
    std::vector<std::string> SplitCommandLineArguments(const std::string& arguments);

    // Pause between two probes of a mutex that is not waited on directly: short enough that its
    // holder's end is noticed at once, long enough that the probes cost nothing.
    inline constexpr std::chrono::milliseconds MutexProbePause{5};

    // `timeout` from now; a negative one is zero, and one beyond a year is a year (the clock would overflow).
    std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::milliseconds timeout);

    // Asks `isTaken` until it says false (true) or the deadline has passed (false), sleeping `pause`
    // between two asks, never past the deadline. The last ask starts at or after the deadline, so a
    // holder that ends during the last pause is still seen. `isTaken` may itself block until then.
    bool ProbeUntilFree(const std::function<bool()>& isTaken, std::chrono::steady_clock::time_point deadline,
                        std::chrono::milliseconds pause);

    // Linux lock file of a named mutex; empty when the name cannot be one file name in /tmp.
    std::optional<std::string> LockFilePath(const std::string& name);

    // "<title>: <message>" on one line with a final newline, for standard error.
    std::string FormatNoticeForConsole(const std::string& message, const std::string& title);

    // Text for kdialog, which takes rich text: escaped so that nothing in it is read as markup.
    std::string EscapeForRichText(const std::string& text);

    // The dialog programs to try in turn for a notice, each as a complete argv.
    std::vector<std::vector<std::string>> NoticeDialogCommands(const std::string& message, const std::string& title);

    struct NoticeTexts
    {
        WideString message;
        WideString title;
    };

    // Both texts converted; a text that cannot be converted is a broken invariant and stops the program.
    NoticeTexts ConvertNoticeTexts(const std::string& message, const std::string& title, SystemTextConverter& system);

    // Backend: shows the notice and blocks until it is closed.
    void ShowNativeNotice(const std::string& message, const std::string& title, const NoticeTexts& wide);
}
