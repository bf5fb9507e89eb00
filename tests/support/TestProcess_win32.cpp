#include "TestProcess.h"

#include <qor/Foundation/Platform_win32.h>

// The module's own rule for starting again, so that the tests start processes as the program does.
#include "../../modules/win32_module/src/qor/Utility/UtilityDetail.h"

#include <fstream>
#include <stdexcept>

namespace QOR::Testing
{
    using Detail::UniqueKernelHandle;

    struct TestProcess::Native
    {
        UniqueKernelHandle process;
        std::optional<int> exitCode;
    };

    namespace
    {
        class HeldWin32File : public HeldFile
        {
        public:
            explicit HeldWin32File(HANDLE handle) : _handle(handle) {}

        private:
            UniqueKernelHandle _handle;
        };

        // CreateProcessW, made again the way the program starts the launcher: Wine now and then loses a new
        // process before a line of it ran.
        std::error_code CreateProcessAgainIfStillborn(const wchar_t* program, wchar_t* commandLine, BOOL inherit,
                                                      const wchar_t* workingDirectory, STARTUPINFOW& startup,
                                                      PROCESS_INFORMATION& information)
        {
            return Detail::RetryStillbornStart(
                [&] {
                    return ::CreateProcessW(program, commandLine, nullptr, nullptr, inherit, 0, nullptr,
                                            workingDirectory, &startup, &information)
                               ? std::error_code()
                               : Detail::LastSystemError();
                },
                Detail::SystemError(ERROR_INTERNAL_ERROR));
        }

        // The handle the child gets for one stream: inheritable, owned here until the child has started.
        // An empty owner for a closed stream.
        UniqueKernelHandle OpenStream(const Stream& stream, SECURITY_ATTRIBUTES& inheritable)
        {
            switch (stream.kind)
            {
            case Stream::Kind::Usual:
                return UniqueKernelHandle(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                                                        0, nullptr));
            case Stream::Kind::Closed:
                break;
            case Stream::Kind::ReaderGone:
            {
                HANDLE read = nullptr;
                HANDLE write = nullptr;
                if (!::CreatePipe(&read, &write, &inheritable, 0))
                    throw std::runtime_error("CreatePipe failed: " + std::to_string(::GetLastError()));
                const UniqueKernelHandle reader(read); // closed on return: the reader has gone
                return UniqueKernelHandle(write);
            }
            case Stream::Kind::File:
            {
                UniqueKernelHandle file(::CreateFileW(stream.file.wstring().c_str(), GENERIC_WRITE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                      &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
                if (!file)
                    throw std::runtime_error("cannot open " + stream.file.string());
                return file;
            }
            }
            return UniqueKernelHandle();
        }
    }

    TestProcess::TestProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                             const std::filesystem::path& workingDirectory, const StandardStreams& streams)
        : _native(std::make_unique<Native>())
    {
        std::wstring commandLine = Quoted(program.wstring());
        for (const std::string& argument : arguments)
            commandLine += L" " + Quoted(std::filesystem::path(argument).wstring());
        // Usual streams are NUL: under Wine a launcher left half-started by a killed updater keeps
        // whatever output it inherited open, and ctest would wait on our output pipe forever.
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const UniqueKernelHandle input = OpenStream(streams.input, inheritable);
        const UniqueKernelHandle output = OpenStream(streams.output, inheritable);
        const UniqueKernelHandle error = OpenStream(streams.error, inheritable);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.Get();
        startup.hStdOutput = output.Get();
        startup.hStdError = error.Get();
        PROCESS_INFORMATION information{};
        if (const std::error_code error =
                CreateProcessAgainIfStillborn(program.wstring().c_str(), commandLine.data(), TRUE,
                                              workingDirectory.wstring().c_str(), startup, information))
            throw std::runtime_error("CreateProcessW failed: " + std::to_string(error.value()));
        const UniqueKernelHandle thread(information.hThread);
        _native->process.Reset(information.hProcess);
    }

    TestProcess::TestProcess(TestProcess&&) noexcept = default;
    TestProcess& TestProcess::operator=(TestProcess&&) noexcept = default;

    TestProcess::~TestProcess()
    {
        if (_native)
            Kill();
    }

    std::optional<int> TestProcess::Wait(std::chrono::milliseconds timeout)
    {
        if (!_native->exitCode)
        {
            if (::WaitForSingleObject(_native->process.Get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
                return std::nullopt;
            DWORD code = 0;
            ::GetExitCodeProcess(_native->process.Get(), &code);
            _native->exitCode = static_cast<int>(code);
        }
        return _native->exitCode;
    }

    void TestProcess::Kill()
    {
        if (!_native->exitCode)
        {
            ::TerminateProcess(_native->process.Get(), 137);
            Wait(std::chrono::seconds(30));
        }
    }

    std::uint32_t CurrentProcessId()
    {
        return ::GetCurrentProcessId();
    }

    bool KillProcess(std::uint32_t pid)
    {
        const UniqueKernelHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
        return process && ::TerminateProcess(process.Get(), 9) != 0;
    }

    void RemoveLockFile(const std::string&)
    {
    }

    std::string HelperPath()
    {
        wchar_t buffer[MAX_PATH * 4] = {};
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
        return (std::filesystem::path(std::wstring(buffer, length)).parent_path() / "win32_test_helper.exe").string();
    }

    bool WriteProcessReport(const std::string&)
    {
        return false;
    }

    std::unique_ptr<HeldFile> HoldFileWithoutSharing(const std::filesystem::path& path)
    {
        const HANDLE handle = ::CreateFileW(path.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot hold " + path.string());
        return std::make_unique<HeldWin32File>(handle);
    }

    std::unique_ptr<HeldFile> PreventRemoval(const std::filesystem::path& file)
    {
        return HoldFileWithoutSharing(file);
    }

    std::unique_ptr<HeldFile> RefuseReplacement(const std::filesystem::path& file)
    {
        return HoldFileWithoutSharing(file);
    }

    std::unique_ptr<HeldFile> MakeFolderUnwritable(const std::filesystem::path&)
    {
        return nullptr;
    }

    bool RunLinuxShell(const std::filesystem::path& folder, const std::string& command)
    {
        if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr)
            return false;
        // Wine starts the Linux program but gives no process to wait for: the command's status, written last
        // (renamed into place, so never read half written), tells that it has ended.
        const std::filesystem::path marker = folder / ".linux-shell-status";
        std::filesystem::remove(marker);
        const std::string script = "(" + command + "); echo $? > .linux-shell-status.tmp && " +
                                   "mv .linux-shell-status.tmp .linux-shell-status";
        std::wstring commandLine = L"/bin/sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION information{};
        if (const std::error_code error = CreateProcessAgainIfStillborn(nullptr, commandLine.data(), FALSE,
                                                                        folder.wstring().c_str(), startup, information))
            throw std::runtime_error("cannot start /bin/sh: " + std::to_string(error.value()));
        const UniqueKernelHandle process(information.hProcess);
        const UniqueKernelHandle thread(information.hThread);
        if (!WaitForFile(marker, std::chrono::seconds(30)))
            throw std::runtime_error("the Linux command did not end: " + command);
        std::ifstream in(marker);
        int status = -1;
        in >> status;
        in.close();
        std::filesystem::remove(marker);
        if (status != 0)
            throw std::runtime_error("the Linux command failed with " + std::to_string(status) + ": " + command);
        return true;
    }

    void UseNoDisplay()
    {
        // The Wine wrapper already runs without a display.
    }
}
