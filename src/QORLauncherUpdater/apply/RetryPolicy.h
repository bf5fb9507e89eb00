#pragma once

// How long the engine waits for a file that another program holds for a moment (a virus scanner, an
// indexer, a program that is just ending): the same step again after growing pauses, within one
// budget for the whole run, so a file held for good fails the update in bounded time.

#include "platform/FileSystem.h"

#include <chrono>

namespace QOR::Update
{
    class RetryPolicy
    {
    public:
        using Sleep = void (*)(std::chrono::milliseconds);

        static constexpr std::chrono::milliseconds RunBudget{15000};
        static constexpr std::chrono::milliseconds FirstPause{25};
        static constexpr std::chrono::milliseconds LongestPause{1000};

        // `sleep`: how a pause is spent (tests pass one that only counts).
        explicit RetryPolicy(FileSystem& fileSystem, std::chrono::milliseconds budget = RunBudget,
                             Sleep sleep = &SleepFor);

        // Runs `step` (returning a std::error_code) again while it fails because `path` is held, and the
        // budget lasts; returns its last result.
        template<class Step>
        std::error_code Run(const NativeString& path, Step step)
        {
            for (;;)
            {
                const std::error_code error = step();
                if (!error || !WaitBeforeRetry(error, path))
                {
                    return error;
                }
            }
        }

    private:
        static void SleepFor(std::chrono::milliseconds pause);
        bool WaitBeforeRetry(const std::error_code& error, const NativeString& path);

        FileSystem& _fileSystem;
        std::chrono::milliseconds _left;
        std::chrono::milliseconds _pause = FirstPause;
        Sleep _sleep;
    };
}
