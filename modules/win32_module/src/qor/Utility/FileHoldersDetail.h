#pragma once

// Platform-neutral pieces of the FileHolders unit, shared by both backends and tested on every platform.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace QOR::Detail
{
    struct FileHolder
    {
        // UTF-8; the program's file name where the system gives one, else whatever name it has.
        std::string name;
        std::uint32_t processId = 0;
    };

    // More would make a log line nobody reads to the end.
    inline constexpr std::size_t MaxListedFileHolders = 8;

    // "game.exe (pid 1234), scanner.exe (pid 99)": each process id once, in the order given, a holder
    // without a name as "pid <n>", and past MaxListedFileHolders only ", and <n> more".
    std::string FormatFileHolders(const std::vector<FileHolder>& holders);

    // Runs `query` on a thread of its own and waits for it at most `timeout`. Empty when it takes
    // longer (the thread finishes alone, unwaited), when it throws, or when no thread can be started.
    std::vector<FileHolder> QueryWithin(std::function<std::vector<FileHolder>()> query,
                                        std::chrono::milliseconds timeout) noexcept;

    // Backend: whether the system can name the holders of a file at all.
    bool CanQueryFileHolders() noexcept;
    // Backend: the holders as the system lists them. May block for long and may throw.
    std::vector<FileHolder> QueryFileHolders(const std::filesystem::path& path);
}
