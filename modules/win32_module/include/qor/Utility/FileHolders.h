#pragma once

// Names the programs that hold a file open, for the log line of a file that could not be replaced
// because it is in use.

#include <chrono>
#include <filesystem>
#include <string>

namespace QOR
{
    // The programs holding `path` open, as "game.exe (pid 1234), scanner.exe (pid 99)", each process
    // once and at most eight of them (then ", and <n> more"). Empty when none is known: nothing holds
    // it, the system cannot say, the query failed, or it took longer than `timeout` (it then ends on a
    // thread of its own, and the caller goes on). So callers append the text only when it is not empty.
    // Never throws.
    //  Windows: from the Restart Manager (Wine's answers nothing).
    //  Linux: always empty; an open file never stops a replace there.
    std::string DescribeFileHolders(const std::filesystem::path& path,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(2)) noexcept;
}
