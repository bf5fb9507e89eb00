#include "TestSupport.h"

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <fstream>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace QOR::Test
{
    std::string HelperPath()
    {
        return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "win32_test_helper").string();
    }

    void RemoveLockFile(const std::string& name)
    {
        std::error_code ignored;
        std::filesystem::remove("/tmp/" + name + ".lock", ignored);
    }

    std::uint32_t CurrentProcessId()
    {
        return static_cast<std::uint32_t>(::getpid());
    }

    bool KillProcess(std::uint32_t pid)
    {
        return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
    }

    bool WriteProcessReport(const std::string& path)
    {
        // Descriptors first, before this function opens any of its own.
        std::vector<int> fds;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            fds.push_back(std::stoi(entry.path().filename().string()));

        struct stat devNull{};
        ::stat("/dev/null", &devNull);
        std::ostringstream report;
        report << "session " << (::getsid(0) == ::getpid() ? "own" : "inherited") << "\n";
        for (int fd = 0; fd <= 2; ++fd)
        {
            struct stat info{};
            const bool isNull = ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == devNull.st_rdev;
            report << "fd" << fd << " " << (isNull ? "null" : "other") << "\n";
        }
        // The directory listing itself used one descriptor, closed by now: report all others.
        report << "fds";
        for (const int fd : fds)
        {
            struct stat info{};
            if (::fstat(fd, &info) == 0)
                report << " " << fd;
        }
        report << "\n";
        sigset_t mask;
        sigemptyset(&mask);
        ::sigprocmask(SIG_BLOCK, nullptr, &mask);
        report << "usr2blocked " << sigismember(&mask, SIGUSR2) << "\n";
        struct sigaction action{};
        ::sigaction(SIGUSR1, nullptr, &action);
        report << "usr1default " << (action.sa_handler == SIG_DFL ? 1 : 0) << "\n";
        const char* marker = std::getenv("QOR_TEST_MARKER");
        report << "marker " << (marker != nullptr ? marker : "") << "\n";
        report << "cwd " << std::filesystem::current_path().string() << "\n";

        WriteTextAtomically(path, report.str());
        return true;
    }
}
