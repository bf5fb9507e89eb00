#include "TestProcess.h"

#include "TestTree.h"

#include <qor/Foundation/Platform_posix.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace QOR::Testing
{
    using Detail::RetryOnInterrupt;
    using Detail::UniqueFd;

    struct TestProcess::Native
    {
        pid_t pid = -1;
        std::optional<int> exitCode;
    };

    namespace
    {
        // What becomes the standard descriptor in the child; an empty owner leaves it as it is.
        UniqueFd SourceFor(const Stream& stream)
        {
            switch (stream.kind)
            {
            case Stream::Kind::ReaderGone:
            {
                int ends[2];
                if (::pipe2(ends, O_CLOEXEC) != 0)
                    throw std::runtime_error("pipe2 failed");
                const UniqueFd reader(ends[0]); // closed on return: the reader has gone
                return UniqueFd(ends[1]);
            }
            case Stream::Kind::File:
            {
                UniqueFd file = Detail::OpenFile(stream.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (!file)
                    throw std::runtime_error("cannot open " + stream.file.string());
                return file;
            }
            case Stream::Kind::Usual:
            case Stream::Kind::Closed:
                break;
            }
            return UniqueFd();
        }
    }

    TestProcess::TestProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                             const std::filesystem::path& workingDirectory, const StandardStreams& streams)
        : _native(std::make_unique<Native>())
    {
        std::vector<std::string> storage{program.string()};
        storage.insert(storage.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : storage)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const std::string directory = workingDirectory.string();
        const Stream* const wanted[3] = {&streams.input, &streams.output, &streams.error};
        UniqueFd sources[3];
        for (int number = 0; number < 3; ++number)
            sources[number] = SourceFor(*wanted[number]);
        const pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0)
        {
            // Only async-signal-safe calls from here on.
            for (int number = 0; number < 3; ++number)
            {
                if (sources[number])
                    ::dup2(sources[number].Get(), number);
                else if (wanted[number]->kind == Stream::Kind::Closed)
                    ::close(number);
            }
            ::signal(SIGPIPE, SIG_DFL);
            if (::chdir(directory.c_str()) != 0)
                ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        _native->pid = pid;
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
        WaitUntil(
            [this] {
                if (_native->exitCode)
                    return true;
                int status = 0;
                const pid_t done = RetryOnInterrupt([&] { return ::waitpid(_native->pid, &status, WNOHANG); });
                if (done < 0)
                    throw std::runtime_error("waitpid failed");
                if (done == _native->pid)
                    _native->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return _native->exitCode.has_value();
            },
            timeout);
        return _native->exitCode;
    }

    void TestProcess::Kill()
    {
        if (!_native->exitCode)
        {
            ::kill(_native->pid, SIGKILL);
            Wait(std::chrono::seconds(30));
        }
    }

    std::uint32_t CurrentProcessId()
    {
        return static_cast<std::uint32_t>(::getpid());
    }

    bool KillProcess(std::uint32_t pid)
    {
        return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
    }

    void RemoveLockFile(const std::string& name)
    {
        std::error_code ignored;
        std::filesystem::remove("/tmp/" + name + ".lock", ignored);
    }

    std::string HelperPath()
    {
        return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "win32_test_helper").string();
    }

    bool WriteProcessReport(const std::string& path)
    {
        // Descriptors first, before this function opens any of its own.
        std::vector<int> fds;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            fds.push_back(std::stoi(entry.path().filename().string()));

        struct stat devNull
        {
        };
        ::stat("/dev/null", &devNull);
        std::ostringstream report;
        report << "session " << (::getsid(0) == ::getpid() ? "own" : "inherited") << "\n";
        for (int fd = 0; fd <= 2; ++fd)
        {
            struct stat info
            {
            };
            const bool isNull = ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == devNull.st_rdev;
            report << "fd" << fd << " " << (isNull ? "null" : "other") << "\n";
        }
        // The directory listing itself used one descriptor, closed by now: report all others.
        report << "fds";
        for (const int fd : fds)
        {
            struct stat info
            {
            };
            if (::fstat(fd, &info) == 0)
                report << " " << fd;
        }
        report << "\n";
        sigset_t mask;
        sigemptyset(&mask);
        ::sigprocmask(SIG_BLOCK, nullptr, &mask);
        report << "usr2blocked " << sigismember(&mask, SIGUSR2) << "\n";
        struct sigaction action
        {
        };
        ::sigaction(SIGUSR1, nullptr, &action);
        report << "usr1default " << (action.sa_handler == SIG_DFL ? 1 : 0) << "\n";
        const char* marker = std::getenv("QOR_TEST_MARKER");
        report << "marker " << (marker != nullptr ? marker : "") << "\n";
        report << "cwd " << std::filesystem::current_path().string() << "\n";

        WriteFileAtomically(path, report.str());
        return true;
    }

    std::unique_ptr<HeldFile> HoldFileWithoutSharing(const std::filesystem::path&)
    {
        return nullptr;
    }

    namespace
    {
        class ProtectedFolder : public HeldFile
        {
        public:
            explicit ProtectedFolder(std::filesystem::path folder) : _folder(std::move(folder))
            {
                using std::filesystem::perms;
                std::filesystem::permissions(_folder, perms::owner_write | perms::group_write | perms::others_write,
                                             std::filesystem::perm_options::remove);
            }
            ~ProtectedFolder() override
            {
                std::error_code error;
                std::filesystem::permissions(_folder, std::filesystem::perms::owner_write,
                                             std::filesystem::perm_options::add, error);
            }

        private:
            std::filesystem::path _folder;
        };

        // A superuser ignores folder permissions but not the immutable flag (where the file system has it).
        class ImmutableFile : public HeldFile
        {
        public:
            static std::unique_ptr<HeldFile> Make(const std::filesystem::path& file)
            {
                auto held = std::unique_ptr<ImmutableFile>(new ImmutableFile(file));
                return held->SetImmutable(true) ? std::move(held) : nullptr;
            }
            ~ImmutableFile() override { SetImmutable(false); }

        private:
            explicit ImmutableFile(const std::filesystem::path& file)
                : _file(Detail::OpenFile(file.c_str(), O_RDONLY | O_NOFOLLOW))
            {
            }
            bool SetImmutable(bool bIsOn) const
            {
                int flags = 0;
                if (!_file || ::ioctl(_file.Get(), FS_IOC_GETFLAGS, &flags) != 0)
                    return false;
                flags = bIsOn ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
                return ::ioctl(_file.Get(), FS_IOC_SETFLAGS, &flags) == 0;
            }

            UniqueFd _file;
        };
    }

    std::unique_ptr<HeldFile> PreventRemoval(const std::filesystem::path& file)
    {
        if (::geteuid() == 0)
            return ImmutableFile::Make(file);
        return std::make_unique<ProtectedFolder>(file.parent_path());
    }

    std::unique_ptr<HeldFile> RefuseReplacement(const std::filesystem::path& file)
    {
        return PreventRemoval(file);
    }

    std::unique_ptr<HeldFile> MakeFolderUnwritable(const std::filesystem::path& folder)
    {
        if (::geteuid() == 0)
            return ImmutableFile::Make(folder);
        return std::make_unique<ProtectedFolder>(folder);
    }

    void UseNoDisplay()
    {
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
    }

    bool RunLinuxShell(const std::filesystem::path& folder, const std::string& command)
    {
        TestProcess shell("/bin/sh", {"-c", command}, folder);
        const std::optional<int> status = shell.Wait(std::chrono::seconds(30));
        if (status != std::optional<int>(0))
            throw std::runtime_error("the command failed or did not end: " + command);
        return true;
    }
}
