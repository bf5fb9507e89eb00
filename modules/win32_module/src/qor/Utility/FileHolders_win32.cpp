#include "FileHoldersDetail.h"

#include "qor/Foundation/Platform_win32.h"
#include "qor/Foundation/Utf8.h"

#include <restartmanager.h>

#include <cwchar>
#include <system_error>
#include <vector>

namespace QOR::Detail
{
    namespace
    {
        // The Restart Manager entry points, looked up in System32's rstrtmgr.dll on first use. Not linked:
        // rstrtmgr.dll is no known DLL, so a load-time import would be searched for in the installation
        // folder first, the very folder whose files the updater replaces. The library stays loaded for
        // the life of the process, as a query that timed out may still be running in it.
        struct RestartManager
        {
            decltype(&::RmStartSession) startSession = nullptr;
            decltype(&::RmRegisterResources) registerResources = nullptr;
            decltype(&::RmGetList) getList = nullptr;
            decltype(&::RmEndSession) endSession = nullptr;
        };

        template<typename Function>
        Function Entry(HMODULE module, const char* name) noexcept
        {
            // Through void(*)(), the one function type GCC lets any other be cast from and to.
            return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
        }

        const RestartManager* LoadRestartManager() noexcept
        {
            static const RestartManager api = [] {
                RestartManager loaded;
                const HMODULE module = ::LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
                if (module == nullptr)
                    return loaded;
                loaded.startSession = Entry<decltype(loaded.startSession)>(module, "RmStartSession");
                loaded.registerResources = Entry<decltype(loaded.registerResources)>(module, "RmRegisterResources");
                loaded.getList = Entry<decltype(loaded.getList)>(module, "RmGetList");
                loaded.endSession = Entry<decltype(loaded.endSession)>(module, "RmEndSession");
                return loaded;
            }();
            const bool complete = api.startSession && api.registerResources && api.getList && api.endSession;
            return complete ? &api : nullptr;
        }

        // A Restart Manager session, ended through the library it came from.
        struct SessionTraits
        {
            using Handle = DWORD;

            // The API names no invalid session; all bits set stands for none.
            static Handle Invalid() noexcept { return static_cast<DWORD>(-1); }
            static bool IsValid(Handle session) noexcept { return session != Invalid(); }
            static void Close(Handle session) noexcept
            {
                if (const RestartManager* api = LoadRestartManager())
                    api->endSession(session);
            }
        };

        // The image's file name ("game.exe") while the listed process still runs (the same start time:
        // process ids are reused); otherwise the name the Restart Manager gives it.
        std::string ProgramName(const RM_PROCESS_INFO& info)
        {
            const UniqueKernelHandle process(
                ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.Process.dwProcessId));
            FILETIME created{};
            FILETIME exited{};
            FILETIME kernel{};
            FILETIME user{};
            if (process && ::GetProcessTimes(process.Get(), &created, &exited, &kernel, &user) &&
                ::CompareFileTime(&created, &info.Process.ProcessStartTime) == 0)
            {
                std::vector<wchar_t> image(32768);
                DWORD size = static_cast<DWORD>(image.size());
                if (::QueryFullProcessImageNameW(process.Get(), 0, image.data(), &size) && size > 0)
                {
                    return EncodeUtf8(std::filesystem::path(std::wstring(image.data(), size)).filename().wstring());
                }
            }
            return EncodeUtf8(std::wstring_view(info.strAppName, ::wcsnlen(info.strAppName, CCH_RM_MAX_APP_NAME + 1)));
        }
    }

    bool CanQueryFileHolders() noexcept
    {
        return LoadRestartManager() != nullptr;
    }

    std::vector<FileHolder> QueryFileHolders(const std::filesystem::path& path)
    {
        const RestartManager* api = LoadRestartManager();
        DWORD handle = SessionTraits::Invalid();
        WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
        if (api == nullptr || api->startSession(&handle, 0, key) != ERROR_SUCCESS)
            return {};
        const UniqueHandle<SessionTraits> session(handle);

        std::error_code error;
        const std::filesystem::path absolute = std::filesystem::absolute(path, error);
        const std::wstring file = (error ? path : absolute).wstring();
        LPCWSTR files[] = {file.c_str()};
        if (api->registerResources(handle, 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS)
            return {};

        // The list can grow between asking for its size and reading it: a few tries.
        std::vector<RM_PROCESS_INFO> processes;
        for (int attempt = 0; attempt < 3; ++attempt)
        {
            UINT needed = 0;
            UINT count = static_cast<UINT>(processes.size());
            DWORD reasons = 0;
            const DWORD rc =
                api->getList(handle, &needed, &count, processes.empty() ? nullptr : processes.data(), &reasons);
            if (rc == ERROR_SUCCESS)
            {
                processes.resize(count);
                std::vector<FileHolder> holders;
                for (const RM_PROCESS_INFO& info : processes)
                    holders.push_back({ProgramName(info), info.Process.dwProcessId});
                return holders;
            }
            if (rc != ERROR_MORE_DATA)
                return {};
            processes.resize(needed);
        }
        return {};
    }
}
