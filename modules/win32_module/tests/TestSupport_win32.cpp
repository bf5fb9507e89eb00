#include "TestSupport.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace QOR::Test
{
    std::string HelperPath()
    {
        wchar_t buffer[MAX_PATH * 4] = {};
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
        return (std::filesystem::path(std::wstring(buffer, length)).parent_path() / "win32_test_helper.exe").string();
    }

    void RemoveLockFile(const std::string&)
    {
    }

    std::uint32_t CurrentProcessId()
    {
        return ::GetCurrentProcessId();
    }

    bool KillProcess(std::uint32_t pid)
    {
        const HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        if (process == nullptr)
            return false;
        const bool killed = ::TerminateProcess(process, 9) != 0;
        ::CloseHandle(process);
        return killed;
    }

    bool WriteProcessReport(const std::string&)
    {
        return false;
    }
}
