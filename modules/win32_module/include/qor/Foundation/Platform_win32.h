#pragma once

// For the project's Windows backends only (this library's and the updater's): <windows.h> as they all
// include it, the owner of a kernel handle, and the last system error as an error code.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "qor/Foundation/UniqueHandle.h"

#include <system_error>

namespace QOR::Detail
{
    // Files, processes, threads, mutexes: whatever CloseHandle closes. Some calls answer failure with
    // NULL, others with INVALID_HANDLE_VALUE; neither is a handle.
    struct KernelHandleTraits
    {
        using Handle = HANDLE;

        static Handle Invalid() noexcept { return nullptr; }
        static bool IsValid(Handle handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
        static void Close(Handle handle) noexcept { ::CloseHandle(handle); }
    };

    using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

    inline std::error_code SystemError(DWORD code) noexcept
    {
        return {static_cast<int>(code), std::system_category()};
    }

    // GetLastError, for the call that has just failed.
    inline std::error_code LastSystemError() noexcept
    {
        return SystemError(::GetLastError());
    }
}
