#include "qor/Utility/Utility.h"

#include "../Foundation/FoundationDetail.h"
#include "UtilityDetail.h"
#include "qor/Foundation/Platform_win32.h"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <vector>

namespace QOR
{
    namespace
    {
        HANDLE ToHandle(SharedHandle::Native native) noexcept
        {
            return reinterpret_cast<HANDLE>(native);
        }

        SharedHandle::Native ToNative(HANDLE handle) noexcept
        {
            return reinterpret_cast<SharedHandle::Native>(handle);
        }

        using Detail::LastSystemError;
        using Detail::SystemError;
        using Detail::UniqueKernelHandle;

        std::vector<wchar_t> ToWideBuffer(const WideString& text)
        {
            std::vector<wchar_t> buffer(text.begin(), text.end());
            buffer.push_back(L'\0');
            return buffer;
        }

        // `text` as the system takes it, with its terminating zero.
        std::error_code ToWideBuffer(std::string_view text, std::vector<wchar_t>& buffer)
        {
            WideString wide;
            if (const std::error_code error = Detail::Utf8ToWideWith(text, Detail::NativeTextConverter(), wide))
                return error;
            buffer = ToWideBuffer(wide);
            return {};
        }

        void CloseNative(SharedHandle::Native native)
        {
            ::CloseHandle(ToHandle(native));
        }

        // "Global\<name>" with its terminating zero.
        std::error_code GlobalMutexName(const std::string& name, std::vector<wchar_t>& wide)
        {
            // A zero byte would silently shorten the name to that of another mutex.
            if (name.find('\0') != std::string::npos)
                return std::make_error_code(std::errc::invalid_argument);
            return ToWideBuffer("Global\\" + name, wide);
        }

        DWORD MillisecondsUntil(std::chrono::steady_clock::time_point deadline)
        {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return 0;
            return static_cast<DWORD>(std::min<long long>(left.count(), INFINITE - 1));
        }

        enum class OwnerWait
        {
            NoSuchMutex,
            OwnerEnded,
            StillOwned,
            CannotWait,
        };

        // Waits until the mutex has no owner, at most until the deadline.
        OwnerWait WaitForOwnerToEnd(const std::vector<wchar_t>& name, std::chrono::steady_clock::time_point deadline)
        {
            // MUTEX_MODIFY_STATE too: the wait makes this thread the owner, and it must let go again.
            const UniqueKernelHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.data()));
            if (!mutex)
                return ::GetLastError() == ERROR_FILE_NOT_FOUND ? OwnerWait::NoSuchMutex : OwnerWait::CannotWait;
            switch (::WaitForSingleObject(mutex.Get(), MillisecondsUntil(deadline)))
            {
            case WAIT_OBJECT_0:
            case WAIT_ABANDONED: // its owner ended without releasing it
                // Released before the handle goes, so that the new launcher can take it.
                ::ReleaseMutex(mutex.Get());
                return OwnerWait::OwnerEnded;
            case WAIT_TIMEOUT:
                return OwnerWait::StillOwned;
            default:
                return OwnerWait::CannotWait;
            }
        }
    }

    LaunchResult LaunchProcess(const std::string& path, const std::string& arguments, std::uint32_t creationFlags)
    {
        STARTUPINFOW startupInfo{};
        startupInfo.cb = sizeof(startupInfo);
        PROCESS_INFORMATION processInfo{};

        // A zero byte would end the wide text early and start some other program.
        if (path.find('\0') != std::string::npos || arguments.find('\0') != std::string::npos)
            return {Detail::LaunchError(SystemError(ERROR_INVALID_NAME)), {}, {}};

        std::vector<wchar_t> applicationName;
        if (const std::error_code error = ToWideBuffer(path, applicationName))
            return {Detail::LaunchError(error), {}, {}};
        std::vector<wchar_t> commandLine;
        if (!arguments.empty())
        {
            // With arguments the system takes the program from the command line alone.
            applicationName.clear();
            const std::optional<std::string> line = Detail::BuildCommandLine(path, arguments);
            if (!line)
                return {Detail::LaunchError(SystemError(ERROR_INVALID_NAME)), {}, {}};
            if (const std::error_code error = ToWideBuffer(*line, commandLine))
                return {Detail::LaunchError(error), {}, {}};
        }

        const std::error_code error = Detail::RetryStillbornStart(
            [&] {
                const BOOL created =
                    ::CreateProcessW(applicationName.empty() ? nullptr : applicationName.data(),
                                     commandLine.empty() ? nullptr : commandLine.data(), nullptr, nullptr, FALSE,
                                     creationFlags, nullptr, nullptr, &startupInfo, &processInfo);
                return created ? std::error_code() : LastSystemError();
            },
            SystemError(ERROR_INTERNAL_ERROR));
        if (error)
            return {Detail::LaunchError(error), {}, {}};

        LaunchResult result;
        result.thread = SharedHandle(ToNative(processInfo.hThread), CloseNative);
        result.process = SharedHandle(ToNative(processInfo.hProcess), CloseNative);
        return result;
    }

    MutexResult CreateNamedMutex(const std::string& name)
    {
        std::vector<wchar_t> buffer;
        if (const std::error_code error = GlobalMutexName(name, buffer))
            return {Detail::MutexNameError(error), {}, std::make_error_code(std::errc::invalid_argument)};

        UniqueKernelHandle mutex(::CreateMutexExW(nullptr, buffer.data(), CREATE_MUTEX_INITIAL_OWNER, 0));
        if (!mutex)
        {
            // ERROR_INVALID_HANDLE, for one, when the name belongs to an event or another kind of object.
            const DWORD code = ::GetLastError();
            const std::error_code cause = SystemError(code);
            if (code == ERROR_ALREADY_EXISTS)
                return {Win32Error(Detail::MutexAlreadyExists), {}, cause};
            if (code == ERROR_ACCESS_DENIED)
                return {Win32Error(Detail::MutexAccessDenied), {}, cause};
            return {Win32Error(Detail::MutexUnableToCreate), {}, cause};
        }
        // The system may open the existing mutex instead of refusing it (Wine does, for another process
        // and for this one). That handle does not own it: someone else holds the name.
        if (::GetLastError() == ERROR_ALREADY_EXISTS)
            return {Win32Error(Detail::MutexAlreadyExists), {}, SystemError(ERROR_ALREADY_EXISTS)};

        return {Win32Error(),
                SharedHandle(ToNative(mutex.Release()),
                             [](SharedHandle::Native native) {
                                 ::ReleaseMutex(ToHandle(native));
                                 ::CloseHandle(ToHandle(native));
                             }),
                {}};
    }

    bool IsHeldElsewhere(const MutexResult& result) noexcept
    {
        // Access is denied, rather than the name found, when the holder runs as another user.
        return !result.mutex && result.cause.category() == std::system_category() &&
               (result.cause.value() == ERROR_ALREADY_EXISTS || result.cause.value() == ERROR_ACCESS_DENIED);
    }

    std::string NamedMutexLocation(const std::string& name)
    {
        return "Global\\" + name;
    }

    bool IsNamedMutexTaken(const std::string& name)
    {
        MutexResult result = CreateNamedMutex(name);
        if (result.error)
            return true;
        ReleaseNamedMutex(result.mutex);
        return false;
    }

    bool WaitForNamedMutexFree(const std::string& name, std::chrono::milliseconds timeout)
    {
        const auto deadline = Detail::DeadlineAfter(timeout);
        std::vector<wchar_t> wideName;
        const bool bIsNameValid = !GlobalMutexName(name, wideName);
        const auto isTaken = [&] {
            switch (bIsNameValid ? WaitForOwnerToEnd(wideName, deadline) : OwnerWait::CannotWait)
            {
            case OwnerWait::NoSuchMutex:
                return false;
            case OwnerWait::StillOwned:
                return true;
            default:
                // Free only once the name can be taken, as the new launcher will take it: an ending
                // owner may give up the mutex a moment before its process closes its handle, and the
                // name stays taken while any handle is open. The probe also stands in for a mutex
                // this process may not wait on.
                return IsNamedMutexTaken(name);
            }
        };
        return Detail::ProbeUntilFree(isTaken, deadline, Detail::MutexProbePause);
    }

    ReleaseResult ReleaseNamedMutex(const SharedHandle& mutex)
    {
        if (!::ReleaseMutex(ToHandle(mutex.Get())))
            return {Detail::ReleaseError(LastSystemError()), false};
        return {Win32Error(), true};
    }
}

namespace QOR::Detail
{
    void ShowNativeNotice(const std::string& message, const std::string& title, const NoticeTexts& wide)
    {
        const std::vector<wchar_t> text = ToWideBuffer(wide.message);
        const std::vector<wchar_t> caption = ToWideBuffer(wide.title);
        // Failure is documented as 0; Wine without a display answers -1. Either way no box was seen,
        // and the failure it was meant to report must still be seen somewhere.
        if (::MessageBoxW(nullptr, text.data(), caption.data(), MB_OK | MB_ICONWARNING) <= 0)
        {
            const std::string line = FormatNoticeForConsole(message, title);
            std::fwrite(line.data(), 1, line.size(), stderr);
            std::fflush(stderr);
        }
    }
}
