#include "platform/ProcessHardening.h"

#include <qor/Foundation/Platform_posix.h>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace QOR
{
    namespace
    {
        using Detail::RetryOnInterrupt;

        // A descriptor 0 to 2 that is missing at start would be given to the next file opened, the log
        // among them: box texts and console lines would then land in the log. Each missing one is
        // opened on /dev/null and stays open as the standard stream for the life of the process.
        void OpenMissingStandardDescriptors() noexcept
        {
            for (int fd = 0; fd <= 2; ++fd)
            {
                if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
                    continue;
                Detail::UniqueFd opened(RetryOnInterrupt([] { return ::open("/dev/null", O_RDWR | O_NOCTTY); }));
                if (!opened)
                    return; // no /dev/null: nothing better to put there
                // The lowest free number is `fd` itself, as every lower one is open by now.
                if (opened.Get() == fd)
                    (void)opened.Release();
                else
                    RetryOnInterrupt([&] { return ::dup2(opened.Get(), fd); });
            }
        }
    }

    void HardenProcess() noexcept
    {
        // Nothing to do for libraries: the dynamic loader never searches the current directory here.
        OpenMissingStandardDescriptors();

        // A launcher that captured our output and has exited must not end the run halfway (before the
        // log line, or before the launcher is started again): writes to it then just fail with EPIPE.
        // Programs the updater starts get the default disposition back.
        struct sigaction ignore
        {
        };
        ignore.sa_handler = SIG_IGN;
        ::sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, nullptr);
    }

    std::optional<Update::FileId> RunningProgramId() noexcept
    {
        struct stat info
        {
        };
        if (::stat("/proc/self/exe", &info) != 0)
        {
            return std::nullopt;
        }
        return Update::FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    }

    void EnterBackgroundMode() noexcept
    {
        // ioprio_set(IOPRIO_WHO_PROCESS, this process, IOPRIO_CLASS_IDLE): the disk serves us only when
        // nobody else asks. glibc has no wrapper for it.
        constexpr int WhoProcess = 1;
        constexpr int IdleClass = 3;
        constexpr int ClassShift = 13;
        ::syscall(SYS_ioprio_set, WhoProcess, 0, IdleClass << ClassShift);
        if (::nice(19) == -1)
        {
            // Only the disk priority matters; a failed nice changes nothing else.
        }
    }
}
