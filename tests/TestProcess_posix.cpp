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

    TestProcess::TestProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                             const std::filesystem::path& workingDirectory)
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
        const pid_t pid = ::fork();
        if (pid < 0)
        {
            throw std::runtime_error("fork failed");
        }
        if (pid == 0)
        {
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

    void UseNoDisplay()
    {
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
    }
}
