#include "ProcessHardening.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace QOR
{
    namespace
    {
        // A descriptor 0 to 2 that is missing at start would be given to the next file opened, the log
        // among them: box texts and console lines would then land in the log. Each missing one is
        // opened on /dev/null and stays open as the standard stream for the life of the process.
        void OpenMissingStandardDescriptors() noexcept
        {
            for (int fd = 0; fd <= 2; ++fd)
            {
                if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
                    continue;
                int opened;
                do
                    opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
                while (opened < 0 && errno == EINTR);
                if (opened < 0)
                    return; // no /dev/null: nothing better to put there
                // The lowest free number is `fd` itself, as every lower one is open by now.
                if (opened != fd)
                {
                    ::dup2(opened, fd);
                    ::close(opened);
                }
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
        struct sigaction ignore{};
        ignore.sa_handler = SIG_IGN;
        ::sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, nullptr);
    }
}
