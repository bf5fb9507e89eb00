#include "TestProcess.h"

#include <stdexcept>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace QOR::Testing
{
    namespace
    {
        class Handle
        {
        public:
            explicit Handle(HANDLE handle = nullptr) noexcept : _handle(handle) {}
            Handle(const Handle&) = delete;
            Handle& operator=(const Handle&) = delete;
            ~Handle()
            {
                if (_handle != nullptr && _handle != INVALID_HANDLE_VALUE)
                {
                    ::CloseHandle(_handle);
                }
            }
            HANDLE Get() const noexcept { return _handle; }

        private:
            HANDLE _handle;
        };

        std::wstring Quote(const std::wstring& argument)
        {
            return L"\"" + argument + L"\"";
        }

        class HeldWin32File : public HeldFile
        {
        public:
            explicit HeldWin32File(HANDLE handle) : _handle(handle) {}

        private:
            Handle _handle;
        };
    }

    struct TestProcess::Native
    {
        Native() = default;
        Native(const Native&) = delete;
        Native& operator=(const Native&) = delete;
        ~Native()
        {
            if (process != nullptr)
            {
                ::CloseHandle(process);
            }
        }
        HANDLE process = nullptr;
        std::optional<int> exitCode;
    };

    namespace
    {
        // The handle the child gets for one stream: inheritable, owned here until the child has started.
        // An empty owner for a closed stream.
        HANDLE OpenStream(const Stream& stream, SECURITY_ATTRIBUTES& inheritable)
        {
            switch (stream.kind)
            {
            case Stream::Kind::Usual:
                return ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inheritable, OPEN_EXISTING, 0, nullptr);
            case Stream::Kind::Closed:
                return nullptr;
            case Stream::Kind::ReaderGone:
            {
                HANDLE read = nullptr;
                HANDLE write = nullptr;
                if (!::CreatePipe(&read, &write, &inheritable, 0))
                {
                    throw std::runtime_error("CreatePipe failed: " + std::to_string(::GetLastError()));
                }
                ::CloseHandle(read);
                return write;
            }
            case Stream::Kind::File:
            {
                const HANDLE file = ::CreateFileW(stream.file.wstring().c_str(), GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (file == INVALID_HANDLE_VALUE)
                {
                    throw std::runtime_error("cannot open " + stream.file.string());
                }
                return file;
            }
            }
            return nullptr;
        }
    }

    TestProcess::TestProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                             const std::filesystem::path& workingDirectory, const StandardStreams& streams)
        : _native(std::make_unique<Native>())
    {
        std::wstring commandLine = Quote(program.wstring());
        for (const std::string& argument : arguments)
        {
            commandLine += L" " + Quote(std::filesystem::path(argument).wstring());
        }
        // Usual streams are NUL: under Wine a launcher left half-started by a killed updater keeps
        // whatever output it inherited open, and ctest would wait on our output pipe forever.
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        Handle input(OpenStream(streams.input, inheritable));
        Handle output(OpenStream(streams.output, inheritable));
        Handle error(OpenStream(streams.error, inheritable));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.Get();
        startup.hStdOutput = output.Get();
        startup.hStdError = error.Get();
        PROCESS_INFORMATION information{};
        if (!::CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              workingDirectory.wstring().c_str(), &startup, &information))
        {
            throw std::runtime_error("CreateProcessW failed: " + std::to_string(::GetLastError()));
        }
        Handle thread(information.hThread);
        _native->process = information.hProcess;
    }

    TestProcess::TestProcess(TestProcess&&) noexcept = default;
    TestProcess& TestProcess::operator=(TestProcess&&) noexcept = default;

    TestProcess::~TestProcess()
    {
        if (_native)
        {
            Kill();
        }
    }

    std::optional<int> TestProcess::Wait(std::chrono::milliseconds timeout)
    {
        if (!_native->exitCode)
        {
            if (::WaitForSingleObject(_native->process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
            {
                return std::nullopt;
            }
            DWORD code = 0;
            ::GetExitCodeProcess(_native->process, &code);
            _native->exitCode = static_cast<int>(code);
        }
        return _native->exitCode;
    }

    void TestProcess::Kill()
    {
        if (!_native->exitCode)
        {
            ::TerminateProcess(_native->process, 137);
            Wait(std::chrono::seconds(30));
        }
    }

    std::unique_ptr<HeldFile> HoldFileWithoutSharing(const std::filesystem::path& path)
    {
        HANDLE handle = ::CreateFileW(path.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
        {
            throw std::runtime_error("cannot hold " + path.string());
        }
        return std::make_unique<HeldWin32File>(handle);
    }
}

namespace QOR::Testing
{
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

    void UseNoDisplay()
    {
        // The Wine wrapper already runs without a display.
    }
}
