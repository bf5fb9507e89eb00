// Linux-only behaviour: the lock file, what a launched program inherits, reaping, and the notice on a
// real (virtual) display.
#include "qor/Utility/Utility.h"

#include "TestProcess.h"
#include "TestTree.h"
#include "qor/Foundation/Platform_posix.h"
#include "qor/Utility/LauncherProtocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace QOR::Testing;
using testing::HasSubstr;

namespace
{
    // Started as the launcher and the updater start each other.
    QOR::LaunchResult LaunchHelper(const std::string& arguments)
    {
        return QOR::LaunchProcess(HelperPath(), arguments, QOR::LauncherProtocol::DetachedLaunchFlags);
    }

    // The process state letter from /proc, or 0 when the process is gone (reaped).
    char ProcessState(pid_t pid)
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            return 0;
        const auto close = line.rfind(')');
        return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
    }
}

TEST(LockFileTest, LockFileIsAReadableRegularFileThatOutlivesTheLock)
{
    const std::string name = UniqueName("QOR_Test");
    const std::string path = "/tmp/" + name + ".lock";
    const mode_t previous = ::umask(077);
    {
        QOR::MutexResult held = QOR::CreateNamedMutex(name);
        ::umask(previous);
        ASSERT_FALSE(held.error) << held.error.GetText();
        struct stat info
        {
        };
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0644u) << "every user must be able to probe it";
        // The descriptor must not leak into programs this process starts.
        EXPECT_NE(::fcntl(static_cast<int>(held.mutex.Get()), F_GETFD) & FD_CLOEXEC, 0);
    }
    EXPECT_TRUE(std::filesystem::exists(path)) << "never unlinked";
    EXPECT_FALSE(QOR::IsNamedMutexTaken(name));
    std::filesystem::remove(path);
}

TEST(LockFileTest, MissingFileIsFreeAndTheProbeCreatesNothing)
{
    const std::string name = UniqueName("QOR_Test");
    EXPECT_FALSE(QOR::IsNamedMutexTaken(name));
    EXPECT_TRUE(QOR::WaitForNamedMutexFree(name, 0ms));
    EXPECT_FALSE(std::filesystem::exists("/tmp/" + name + ".lock"));
}

// Something planted at the lock path is refused instead of followed or waited on, and the cause says
// what it is: it is no holder, so the name is not "held elsewhere".
TEST(LockFileTest, PlantedEntryIsRefusedWithItsCause)
{
    const TemporaryFolder dir;
    const std::string name = UniqueName("QOR_Test");
    const std::string path = "/tmp/" + name + ".lock";
    const std::filesystem::path target = dir.Path() / "victim";

    const struct
    {
        const char* what;
        std::function<void()> plant;
        const char* cause;
    } cases[] = {
        {"link", [&] { std::filesystem::create_symlink(target, path); }, "Is a symbolic link"},
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); }, "Not a regular file"},
        {"folder", [&] { std::filesystem::create_directory(path); }, "Is a directory"},
    };
    for (const auto& [what, plant, cause] : cases)
    {
        plant();
        const QOR::MutexResult result = QOR::CreateNamedMutex(name);
        EXPECT_EQ(result.error.GetText(), "Unable to create mutex.") << what;
        EXPECT_EQ(result.cause.message(), cause) << what;
        EXPECT_FALSE(QOR::IsHeldElsewhere(result)) << what;
        EXPECT_TRUE(QOR::IsNamedMutexTaken(name)) << what;
        std::filesystem::remove(path);
    }
    EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed";
}

// However the holder ends, the name becomes free.
TEST(LockFileTest, KilledHolderFreesTheName)
{
    const TemporaryFolder dir;
    const std::string name = UniqueName("QOR_Test");
    const QOR::LaunchResult launch = LaunchHelper("hold " + name + " " + Quoted(dir.Path().string()));
    ASSERT_FALSE(launch.error) << launch.error.GetText();
    ASSERT_TRUE(WaitForFile(dir.Path() / "ready", 30s));
    const std::string ready = ReadFile(dir.Path() / "ready");
    ASSERT_THAT(ready, testing::StartsWith("ok "));
    EXPECT_TRUE(QOR::IsNamedMutexTaken(name));

    ASSERT_TRUE(KillProcess(static_cast<std::uint32_t>(std::stoul(ready.substr(3)))));
    EXPECT_TRUE(WaitUntil([&] { return !QOR::IsNamedMutexTaken(name); }, 10s));
    EXPECT_FALSE(QOR::CreateNamedMutex(name).error);
    RemoveLockFile(name);
}

// The started program is detached from everything of the caller but its environment and working
// folder. A leaked descriptor (the updater's own lock file, say) would keep the lock alive in the
// launcher and make every later update fail.
TEST(LaunchProcessPosixTest, ChildStartsDetachedWithNothingInherited)
{
    const TemporaryFolder dir;
    const std::string reportPath = (dir.Path() / "report").string();

    const std::string lockName = UniqueName("QOR_Test");
    QOR::MutexResult lock = QOR::CreateNamedMutex(lockName);
    RemoveLockFile(lockName);
    ASSERT_FALSE(lock.error);
    const QOR::Detail::UniqueFd inheritable(::open("/dev/zero", O_RDONLY)); // deliberately without O_CLOEXEC
    ASSERT_TRUE(inheritable);
    ::setenv("QOR_TEST_MARKER", "inherited", 1);
    struct sigaction ignore
    {
    };
    ignore.sa_handler = SIG_IGN;
    struct sigaction previousAction
    {
    };
    ::sigaction(SIGUSR1, &ignore, &previousAction);
    sigset_t usr2;
    sigset_t previousMask;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    ::pthread_sigmask(SIG_BLOCK, &usr2, &previousMask);

    const QOR::LaunchResult launch = LaunchHelper("report " + Quoted(reportPath));

    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGUSR1, &previousAction, nullptr);
    ASSERT_FALSE(launch.error) << launch.error.GetText();
    EXPECT_TRUE(launch.thread);
    EXPECT_TRUE(launch.process);
    ASSERT_TRUE(WaitForFile(reportPath, 30s));

    const std::string report = ReadFile(reportPath);
    EXPECT_THAT(report, HasSubstr("session own\n"));
    EXPECT_THAT(report, HasSubstr("fd0 null\nfd1 null\nfd2 null\n"));
    EXPECT_THAT(report, HasSubstr("fds 0 1 2\n"));
    EXPECT_THAT(report, HasSubstr("usr2blocked 0\n"));
    EXPECT_THAT(report, HasSubstr("usr1default 1\n"));
    EXPECT_THAT(report, HasSubstr("marker inherited\n"));
    EXPECT_THAT(report, HasSubstr("cwd " + std::filesystem::current_path().string() + "\n"));
    ::unsetenv("QOR_TEST_MARKER");
}

TEST(LaunchProcessPosixTest, RelativePathResolvesAgainstTheWorkingFolderWithoutPathSearch)
{
    const std::filesystem::path helper = HelperPath();
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(helper.parent_path());
    const QOR::LaunchResult bare = QOR::LaunchProcess("sh", "-c true", 0);
    const TemporaryFolder dir;
    const QOR::LaunchResult relative =
        QOR::LaunchProcess("./" + helper.filename().string(), "pid " + Quoted((dir.Path() / "pid").string()), 0);
    std::filesystem::current_path(previous);

    EXPECT_EQ(bare.error.GetText(), "Unable to create process. WinAPI Error: 2") << "no PATH search";
    ASSERT_FALSE(relative.error) << relative.error.GetText();
    EXPECT_TRUE(WaitForFile(dir.Path() / "pid", 30s));
}

// A program that ends while the caller lives on is reaped at once, even with its handles still held.
TEST(LaunchProcessPosixTest, EndedChildLeavesNoZombie)
{
    const TemporaryFolder dir;
    const QOR::LaunchResult launch = LaunchHelper("pid " + Quoted((dir.Path() / "pid").string()));
    ASSERT_FALSE(launch.error) << launch.error.GetText();
    ASSERT_TRUE(WaitForFile(dir.Path() / "pid", 30s));
    const pid_t pid = std::stoi(ReadFile(dir.Path() / "pid"));
    EXPECT_TRUE(WaitUntil([&] { return ProcessState(pid) == 0; }, 10s)) << "state " << ProcessState(pid);

    // The process descriptor reports the end.
    pollfd ended{static_cast<int>(launch.process.Get()), POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 5000), 1);
}
