#include "platform/ProcessHardening.h"

#include <qor/Foundation/Platform_win32.h>

#include <initializer_list>

namespace QOR
{
    namespace
    {
        // A parent that hands over standard handles without letting them be inherited leaves values that
        // name nothing here, and the next handle opened (the log file) may get the same value. The
        // console sink writes to the standard handle itself, so every log line would then reach the log
        // twice. Such values are pointed at NUL, kept open for the life of the process. An absent handle
        // (NULL) is left alone: nothing writes to it.
        void ReplaceDanglingStandardHandles() noexcept
        {
            for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
            {
                const HANDLE handle = ::GetStdHandle(which);
                if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
                    continue;
                ::SetLastError(NO_ERROR);
                if (::GetFileType(handle) != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR)
                    continue;
                Detail::UniqueKernelHandle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                             0, nullptr));
                // The standard handle owns it from here on.
                ::SetStdHandle(which, nul ? nul.Release() : nullptr);
            }
        }
    }

    void HardenProcess() noexcept
    {
        ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        ReplaceDanglingStandardHandles();
    }

    std::optional<Update::FileId> RunningProgramId() noexcept
    {
        try
        {
            std::wstring path(MAX_PATH, L'\0');
            for (;;)
            {
                const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
                if (length == 0)
                {
                    return std::nullopt;
                }
                if (length < path.size())
                {
                    path.resize(length);
                    break;
                }
                path.resize(path.size() * 2);
            }
            Update::EntryStatus status;
            if (Update::SystemFileSystem().StatusFollowingLinks(path, status) || status.type != Update::EntryType::File)
            {
                return std::nullopt;
            }
            return status.id;
        }
        catch (...)
        {
            return std::nullopt;
        }
    }

    void EnterBackgroundMode() noexcept
    {
        // Low I/O and memory priority for the rest of this thread, the one that deletes the old files.
        ::SetThreadPriority(::GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    }
}
