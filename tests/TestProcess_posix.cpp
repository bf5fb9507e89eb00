#include "TestProcess.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace QOR::Testing
{
    struct TestProcess::Native
    {
        pid_t pid = -1;
        std::optional<int> exitCode;
    };

    namespace
    {
        class Fd
        {
        public:
            explicit Fd(int fd = -1) noexcept : _fd(fd) {}
            Fd(const Fd&) = delete;
            Fd& operator=(const Fd&) = delete;
            Fd(Fd&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}
            Fd& operator=(Fd&& other) noexcept
            {
                std::swap(_fd, other._fd);
                return *this;
            }
            ~Fd()
            {
                if (_fd >= 0)
                {
                    ::close(_fd);
                }
            }
            int Get() const noexcept { return _fd; }

        private:
            int _fd;
        };

        // What becomes standard descriptor `number` in the child; -1 leaves it as it is.
        Fd SourceFor(const Stream& stream)
        {
            switch (stream.kind)
            {
            case Stream::Kind::ReaderGone:
            {
                int ends[2];
                if (::pipe2(ends, O_CLOEXEC) != 0)
                {
                    throw std::runtime_error("pipe2 failed");
                }
                ::close(ends[0]);
                return Fd(ends[1]);
            }
            case Stream::Kind::File:
            {
                const int fd = ::open(stream.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd < 0)
                {
                    throw std::runtime_error("cannot open " + stream.file.string());
                }
                return Fd(fd);
            }
            case Stream::Kind::Usual:
            case Stream::Kind::Closed:
                break;
            }
            return Fd();
        }
    }

    TestProcess::TestProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                             const std::filesystem::path& workingDirectory, const StandardStreams& streams)
        : _native(std::make_unique<Native>())
    {
        std::vector<std::string> storage;
        storage.push_back(program.string());
        storage.insert(storage.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : storage)
        {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const std::string directory = workingDirectory.string();
        const Stream* const wanted[3] = {&streams.input, &streams.output, &streams.error};
        Fd sources[3];
        for (int number = 0; number < 3; ++number)
        {
            sources[number] = SourceFor(*wanted[number]);
        }
        const pid_t pid = ::fork();
        if (pid < 0)
        {
            throw std::runtime_error("fork failed");
        }
        if (pid == 0)
        {
            for (int number = 0; number < 3; ++number)
            {
                if (sources[number].Get() >= 0)
                {
                    ::dup2(sources[number].Get(), number);
                }
                else if (wanted[number]->kind == Stream::Kind::Closed)
                {
                    ::close(number);
                }
            }
            ::signal(SIGPIPE, SIG_DFL);
            if (::chdir(directory.c_str()) != 0)
            {
                ::_exit(126);
            }
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
        {
            Kill();
        }
    }

    std::optional<int> TestProcess::Wait(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!_native->exitCode)
        {
            int status = 0;
            const pid_t done = ::waitpid(_native->pid, &status, WNOHANG);
            if (done == _native->pid)
            {
                _native->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (done < 0 && errno != EINTR)
            {
                throw std::runtime_error("waitpid failed");
            }
            if (std::chrono::steady_clock::now() >= deadline)
            {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
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
                std::filesystem::permissions(_folder, std::filesystem::perms::owner_write |
                                                          std::filesystem::perms::group_write |
                                                          std::filesystem::perms::others_write,
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
            ~ImmutableFile() override
            {
                SetImmutable(false);
                ::close(_fd);
            }

        private:
            explicit ImmutableFile(const std::filesystem::path& file)
                : _fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW))
            {
            }
            bool SetImmutable(bool on) const
            {
                int flags = 0;
                if (_fd < 0 || ::ioctl(_fd, FS_IOC_GETFLAGS, &flags) != 0)
                {
                    return false;
                }
                flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
                return ::ioctl(_fd, FS_IOC_SETFLAGS, &flags) == 0;
            }

            int _fd;
        };
    }

    std::unique_ptr<HeldFile> PreventRemoval(const std::filesystem::path& file)
    {
        if (::geteuid() == 0)
        {
            return ImmutableFile::Make(file);
        }
        return std::make_unique<ProtectedFolder>(file.parent_path());
    }

    std::unique_ptr<HeldFile> RefuseReplacement(const std::filesystem::path& file)
    {
        return PreventRemoval(file);
    }

    std::unique_ptr<HeldFile> MakeFolderUnwritable(const std::filesystem::path& folder)
    {
        if (::geteuid() == 0)
        {
            return ImmutableFile::Make(folder);
        }
        return std::make_unique<ProtectedFolder>(folder);
    }

    void UseNoDisplay()
    {
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
    }
}
