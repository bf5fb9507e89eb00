#pragma once

// For the project's POSIX backends only (this library's and the updater's): the owner of a file
// descriptor, the retry of calls a signal interrupts, and errno as an error code.

#include "qor/Foundation/UniqueHandle.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace QOR::Detail
{
    struct FileDescriptorTraits
    {
        using Handle = int;

        static constexpr int Invalid() noexcept { return -1; }
        static constexpr bool IsValid(int descriptor) noexcept { return descriptor >= 0; }
        // Never retried on EINTR: Linux has closed the descriptor even then, and a retry could close a
        // descriptor another thread has just been given.
        static void Close(int descriptor) noexcept { ::close(descriptor); }
    };

    using UniqueFd = UniqueHandle<FileDescriptorTraits>;

    // Calls `call` again for as long as it fails with EINTR (returns -1 with errno EINTR), the way
    // every blocking system call here is made; returns the last result.
    template<class Call>
    auto RetryOnInterrupt(Call&& call) -> decltype(call())
    {
        for (;;)
        {
            const auto result = call();
            if (result != -1 || errno != EINTR)
                return result;
        }
    }

    // open(2), always with O_CLOEXEC: no descriptor of ours may reach a program we start.
    inline UniqueFd OpenFile(const char* path, int flags, mode_t mode = 0) noexcept
    {
        return UniqueFd(RetryOnInterrupt([&] { return ::open(path, flags | O_CLOEXEC, mode); }));
    }

    inline std::error_code SystemError(int number) noexcept
    {
        return {number, std::system_category()};
    }

    // errno, for the call that has just failed.
    inline std::error_code LastSystemError() noexcept
    {
        return SystemError(errno);
    }

    // The answer of a call that gives 0 (or a count) on success and -1 with errno on failure.
    inline std::error_code ErrorOf(long result) noexcept
    {
        return result == -1 ? LastSystemError() : std::error_code{};
    }

    // Closes now and tells how it went, for descriptors written to: a failed close can mean lost data.
    // EINTR is no failure (the descriptor is closed then, see FileDescriptorTraits::Close).
    [[nodiscard]] inline std::error_code CloseReporting(UniqueFd& descriptor) noexcept
    {
        if (!descriptor)
            return {};
        if (::close(descriptor.Release()) != 0 && errno != EINTR)
            return LastSystemError();
        return {};
    }
}
