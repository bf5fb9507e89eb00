#include "qor/Utility/Utility.h"

#include "UtilityDetail.h"
#include "qor/Foundation/Platform_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace QOR
{
    namespace
    {
        using Detail::LastSystemError;
        using Detail::OpenFile;
        using Detail::RetryOnInterrupt;
        using Detail::SystemError;
        using Detail::UniqueFd;

        void CloseNative(SharedHandle::Native native)
        {
            Detail::FileDescriptorTraits::Close(static_cast<int>(native));
        }

        std::error_code Flock(int fd, int operation) noexcept
        {
            return Detail::ErrorOf(RetryOnInterrupt([&] { return ::flock(fd, operation); }));
        }

        // Owners of the posix_spawn attribute objects.
        class SpawnSetup
        {
        public:
            SpawnSetup() = default;
            SpawnSetup(const SpawnSetup&) = delete;
            SpawnSetup& operator=(const SpawnSetup&) = delete;
            ~SpawnSetup()
            {
                if (_bIsActionsReady)
                    ::posix_spawn_file_actions_destroy(&_actions);
                if (_bIsAttributesReady)
                    ::posix_spawnattr_destroy(&_attributes);
            }

            // The child starts clean whatever the caller did: standard input (and output, unless kept)
            // on /dev/null, no other inherited descriptor, default signal dispositions, empty mask.
            std::error_code Prepare(bool newSession, bool keepStandardError) noexcept
            {
                // The posix_spawn calls answer with the error number itself.
                int rc = ::posix_spawn_file_actions_init(&_actions);
                if (rc != 0)
                    return SystemError(rc);
                _bIsActionsReady = true;
                rc = ::posix_spawnattr_init(&_attributes);
                if (rc != 0)
                    return SystemError(rc);
                _bIsAttributesReady = true;

                if ((rc = ::posix_spawn_file_actions_addopen(&_actions, 0, "/dev/null", O_RDONLY, 0)) != 0 ||
                    (rc = ::posix_spawn_file_actions_addopen(&_actions, 1, "/dev/null", O_WRONLY, 0)) != 0)
                    return SystemError(rc);
                if (!keepStandardError && (rc = ::posix_spawn_file_actions_adddup2(&_actions, 1, 2)) != 0)
                    return SystemError(rc);
                if ((rc = ::posix_spawn_file_actions_addclosefrom_np(&_actions, 3)) != 0)
                    return SystemError(rc);

                sigset_t all;
                sigset_t none;
                sigfillset(&all);
                sigemptyset(&none);
                short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
                if (newSession)
                    flags |= POSIX_SPAWN_SETSID;
                if ((rc = ::posix_spawnattr_setsigdefault(&_attributes, &all)) != 0 ||
                    (rc = ::posix_spawnattr_setsigmask(&_attributes, &none)) != 0 ||
                    (rc = ::posix_spawnattr_setflags(&_attributes, flags)) != 0)
                    return SystemError(rc);
                return {};
            }

            // `searchPath` only for the desktop's own tools, never for a program the caller names by path.
            std::error_code Spawn(pid_t& pid, const std::vector<std::string>& argv, bool searchPath) noexcept
            {
                std::vector<char*> pointers;
                try
                {
                    pointers.reserve(argv.size() + 1);
                }
                catch (...)
                {
                    return SystemError(ENOMEM);
                }
                for (const std::string& word : argv)
                    pointers.push_back(const_cast<char*>(word.c_str()));
                pointers.push_back(nullptr);
                const int rc =
                    searchPath ? ::posix_spawnp(&pid, pointers[0], &_actions, &_attributes, pointers.data(), environ)
                               : ::posix_spawn(&pid, pointers[0], &_actions, &_attributes, pointers.data(), environ);
                return rc != 0 ? SystemError(rc) : std::error_code{};
            }

        private:
            posix_spawn_file_actions_t _actions{};
            posix_spawnattr_t _attributes{};
            bool _bIsActionsReady = false;
            bool _bIsAttributesReady = false;
        };

        void WaitForChild(pid_t pid) noexcept
        {
            int status = 0;
            // ECHILD: the caller ignores SIGCHLD and the system has reaped it already.
            RetryOnInterrupt([&] { return ::waitpid(pid, &status, 0); });
        }

        // A descriptor that stands for the process while it lives and after it ends.
        UniqueFd OpenProcessDescriptor(pid_t pid) noexcept
        {
#ifdef SYS_pidfd_open
            const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
            if (pidfd >= 0)
            {
                // pidfd_open sets close-on-exec itself.
                return UniqueFd(static_cast<int>(pidfd));
            }
#endif
            // Kernels before 5.3: the process's /proc directory.
            const std::string procPath = "/proc/" + std::to_string(pid);
            return OpenFile(procPath.c_str(), O_RDONLY | O_DIRECTORY);
        }

        // Lock-file faults that have no error number of their own.
        enum class LockFileFault
        {
            SymbolicLink = 1,
            NotARegularFile,
        };

        class LockFileCategory final : public std::error_category
        {
        public:
            const char* name() const noexcept override { return "qor.lock_file"; }
            std::string message(int value) const override
            {
                return value == static_cast<int>(LockFileFault::SymbolicLink) ? "Is a symbolic link"
                                                                              : "Not a regular file";
            }
        };

        std::error_code MakeError(LockFileFault fault) noexcept
        {
            static const LockFileCategory category;
            return {static_cast<int>(fault), category};
        }

        // Opens the lock file without following links. Without O_CREAT first, so that a file made by
        // another user in the sticky /tmp can be opened where fs.protected_regular forbids O_CREAT on it.
        // O_NONBLOCK so that a FIFO planted there cannot block the open.
        std::error_code OpenLockFile(const std::string& path, bool create, UniqueFd& lockFile) noexcept
        {
            constexpr int baseFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
            for (int attempt = 0; attempt < 8; ++attempt)
            {
                UniqueFd fd = OpenFile(path.c_str(), baseFlags);
                if (!fd)
                {
                    // O_NOFOLLOW answers a link at the path itself with ELOOP.
                    if (errno == ELOOP)
                        return MakeError(LockFileFault::SymbolicLink);
                    if (errno != ENOENT || !create)
                        return LastSystemError();
                    fd = OpenFile(path.c_str(), baseFlags | O_CREAT | O_EXCL, 0644);
                    if (!fd)
                    {
                        if (errno == EEXIST)
                            continue; // made by someone else in between: open that one
                        return LastSystemError();
                    }
                    // The umask must not narrow it: every user has to be able to open it to probe.
                    ::fchmod(fd.Get(), 0644);
                }
                struct stat info
                {
                };
                if (::fstat(fd.Get(), &info) != 0)
                    return LastSystemError();
                if (S_ISDIR(info.st_mode))
                    return SystemError(EISDIR);
                if (!S_ISREG(info.st_mode))
                    return MakeError(LockFileFault::NotARegularFile);
                lockFile = std::move(fd);
                return {};
            }
            return SystemError(EEXIST);
        }
    }

    LaunchResult LaunchProcess(const std::string& path, const std::string& arguments, std::uint32_t /*creationFlags*/)
    {
        // A zero byte would end the path early and start some other program.
        if (path.find('\0') != std::string::npos || arguments.find('\0') != std::string::npos)
            return {Detail::LaunchError(SystemError(EINVAL)), {}, {}};
        if (path.empty())
            return {Detail::LaunchError(SystemError(ENOENT)), {}, {}};

        std::vector<std::string> argv;
        argv.push_back(path);
        for (std::string& word : Detail::SplitCommandLineArguments(arguments))
            argv.push_back(std::move(word));

        pid_t pid = -1;
        {
            SpawnSetup setup;
            std::error_code error = setup.Prepare(true, false);
            if (!error)
                error = setup.Spawn(pid, argv, false);
            if (error)
                return {Detail::LaunchError(error), {}, {}};
        }

        // Taken before the reaper can reap the child, so the pid still names it.
        UniqueFd process = OpenProcessDescriptor(pid);
        UniqueFd thread;
        if (process)
            thread = UniqueFd(::fcntl(process.Get(), F_DUPFD_CLOEXEC, 3));

        try
        {
            std::thread([pid] { WaitForChild(pid); }).detach();
        }
        catch (...)
        {
            // No thread to spare: the child stays a zombie until this process ends, which harms nothing.
        }

        LaunchResult result;
        if (process && thread)
        {
            result.thread = SharedHandle(thread.Release(), CloseNative);
            result.process = SharedHandle(process.Release(), CloseNative);
        }
        else
        {
            // Out of descriptors: the program runs all the same, so report it as started; its pid is
            // the only handle left, and there is nothing to close.
            result.thread = SharedHandle(pid, nullptr);
            result.process = SharedHandle(pid, nullptr);
        }
        return result;
    }

    MutexResult CreateNamedMutex(const std::string& name)
    {
        const std::optional<std::string> path = Detail::LockFilePath(name);
        if (!path)
            return {Detail::MutexNameError(SystemError(EINVAL)), {}, SystemError(EINVAL)};

        UniqueFd fd;
        if (const std::error_code cause = OpenLockFile(*path, true, fd))
        {
            const bool bIsDenied = cause == std::errc::permission_denied || cause == std::errc::operation_not_permitted;
            return {Win32Error(bIsDenied ? Detail::MutexAccessDenied : Detail::MutexUnableToCreate), {}, cause};
        }

        // The lock belongs to this open file description, so a second take in this same process fails
        // as well, and the system drops it when the holder ends, however it ends.
        if (const std::error_code cause = Flock(fd.Get(), LOCK_EX | LOCK_NB))
        {
            const bool bIsHeld = cause == std::errc::operation_would_block;
            return {Win32Error(bIsHeld ? Detail::MutexAlreadyExists : Detail::MutexUnableToCreate), {}, cause};
        }
        // Released by closing. The file itself stays: unlinking it would let a later taker lock a new
        // file while an older holder still holds the old one.
        return {Win32Error(), SharedHandle(fd.Release(), CloseNative), {}};
    }

    bool IsHeldElsewhere(const MutexResult& result) noexcept
    {
        return !result.mutex && result.cause == std::errc::operation_would_block;
    }

    std::string NamedMutexLocation(const std::string& name)
    {
        return Detail::LockFilePath(name).value_or(name);
    }

    bool IsNamedMutexTaken(const std::string& name)
    {
        const std::optional<std::string> path = Detail::LockFilePath(name);
        if (!path)
            return true;
        UniqueFd fd;
        if (const std::error_code cause = OpenLockFile(*path, false, fd))
            return cause != std::errc::no_such_file_or_directory; // missing: never taken since the machine started
        return static_cast<bool>(Flock(fd.Get(), LOCK_EX | LOCK_NB));
    }

    bool WaitForNamedMutexFree(const std::string& name, std::chrono::milliseconds timeout)
    {
        // flock has no timed wait. A probe every few milliseconds sees the holder's end nearly as soon,
        // for four system calls.
        return Detail::ProbeUntilFree([&] { return IsNamedMutexTaken(name); }, Detail::DeadlineAfter(timeout),
                                      Detail::MutexProbePause);
    }

    ReleaseResult ReleaseNamedMutex(const SharedHandle& mutex)
    {
        if (const std::error_code error = Flock(static_cast<int>(mutex.Get()), LOCK_UN))
            return {Detail::ReleaseError(error), false};
        return {Win32Error(), true};
    }
}

namespace QOR::Detail
{
    void ShowNativeNotice(const std::string& message, const std::string& title, const NoticeTexts& /*wide*/)
    {
        // Always on standard error too: it is the whole notice where there is no display, and the
        // record of it where there is one.
        const std::string line = FormatNoticeForConsole(message, title);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);

        const char* display = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        const bool hasDisplay = (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
        if (!hasDisplay)
            return;

        std::vector<std::vector<std::string>> commands;
        try
        {
            commands = NoticeDialogCommands(message, title);
        }
        catch (...)
        {
            return;
        }
        for (const std::vector<std::string>& argv : commands)
        {
            SpawnSetup setup;
            pid_t pid = -1;
            // The texts go as arguments of the program itself, never through a shell.
            if (setup.Prepare(false, true) || setup.Spawn(pid, argv, true))
                continue; // this tool is not installed: try the next
            WaitForChild(pid);
            return;
        }
    }
}
