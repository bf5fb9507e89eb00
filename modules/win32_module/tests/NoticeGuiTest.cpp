// The notice on a real display: a private Xvfb server, the desktop's dialog tool, xdotool to find and
// dismiss the window, and a screenshot kept as a test artifact.
#include "qor/Utility/Utility.h"

#include "TestSupport.h"
#include "qor/Foundation/Platform_posix.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <utility>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef QOR_TEST_ARTIFACT_DIR
#define QOR_TEST_ARTIFACT_DIR "artifacts"
#endif

using namespace std::chrono_literals;
using testing::Contains;

namespace
{
    bool OnPath(const std::string& tool)
    {
        const char* path = std::getenv("PATH");
        std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
        std::size_t start = 0;
        while (start <= dirs.size())
        {
            const std::size_t end = std::min(dirs.find(':', start), dirs.size());
            if (::access((dirs.substr(start, end - start) + "/" + tool).c_str(), X_OK) == 0)
                return true;
            start = end + 1;
        }
        return false;
    }

    using QOR::Detail::UniqueFd;

    // Ends a child: politely, then for sure; never waits without bound.
    void Stop(pid_t pid)
    {
        if (pid <= 0)
            return;
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 100; ++i)
        {
            if (::waitpid(pid, nullptr, WNOHANG) == pid)
                return;
            std::this_thread::sleep_for(20ms);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }

    std::vector<char*> Argv(std::vector<std::string>& words)
    {
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        return argv;
    }

    // Runs a tool with its output captured, for at most `timeout`.
    std::optional<std::string> RunTool(std::vector<std::string> words, std::chrono::milliseconds timeout = 10s)
    {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            return std::nullopt;
        UniqueFd readEnd(pipeFds[0]);
        UniqueFd writeEnd(pipeFds[1]);
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
        ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        std::vector<char*> argv = Argv(words);
        const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        ::posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return std::nullopt;
        writeEnd.Reset();

        std::string output;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline)
        {
            pollfd readable{readEnd.Get(), POLLIN, 0};
            if (::poll(&readable, 1, 100) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(readEnd.Get(), buffer, sizeof buffer);
            if (n <= 0)
                break;
            output.append(buffer, static_cast<std::size_t>(n));
        }
        int status = 0;
        pid_t ended = 0;
        while ((ended = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        if (ended != pid)
        {
            Stop(pid);
            return std::nullopt;
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return std::nullopt;
        while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
            output.pop_back();
        return output;
    }

    // A private X server on a random high display number, so that no other server (of the developer
    // or of a parallel test) is hit. It reports on descriptor 3 when it accepts connections.
    class VirtualDisplay
    {
    public:
        VirtualDisplay()
        {
            std::random_device device;
            for (int attempt = 0; attempt < 5 && _display.empty(); ++attempt)
            {
                const std::string number = std::to_string(100 + device() % 900);
                // Ready means a client can connect, not only that the server said so: a server that
                // lost a race for the number can report and still not be reachable.
                if (Start(number) && QOR::Test::WaitUntil(
                                         [&] {
                                             return RunTool({"env", "DISPLAY=:" + number, "xdotool",
                                                             "getdisplaygeometry"})
                                                 .has_value();
                                         },
                                         10s))
                    _display = ":" + number;
                else
                    Stop(std::exchange(_pid, -1));
            }
        }

        bool Start(const std::string& number)
        {
            int pipeFds[2];
            if (::pipe2(pipeFds, O_CLOEXEC) != 0)
                return false;
            UniqueFd readEnd(pipeFds[0]);
            UniqueFd writeEnd(pipeFds[1]);
            posix_spawn_file_actions_t actions;
            ::posix_spawn_file_actions_init(&actions);
            ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
            ::posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 3);
            std::vector<std::string> words = {"Xvfb", ":" + number, "-displayfd", "3", "-screen", "0", "800x600x24",
                                              "-nolisten", "tcp"};
            std::vector<char*> argv = Argv(words);
            const int rc = ::posix_spawnp(&_pid, argv[0], &actions, nullptr, argv.data(), environ);
            ::posix_spawn_file_actions_destroy(&actions);
            if (rc != 0)
            {
                _pid = -1;
                return false;
            }
            writeEnd.Reset();
            // The number comes back once it is ready; an end of file means it gave up (display in use).
            std::string reported;
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (std::chrono::steady_clock::now() < deadline && reported.find('\n') == std::string::npos)
            {
                pollfd readable{readEnd.Get(), POLLIN, 0};
                if (::poll(&readable, 1, 100) <= 0)
                    continue;
                char buffer[32];
                const ssize_t n = ::read(readEnd.Get(), buffer, sizeof buffer);
                if (n <= 0)
                    break;
                reported.append(buffer, static_cast<std::size_t>(n));
            }
            return reported == number + "\n";
        }

        VirtualDisplay(const VirtualDisplay&) = delete;
        VirtualDisplay& operator=(const VirtualDisplay&) = delete;
        ~VirtualDisplay()
        {
            Stop(_pid);
        }
        const std::string& Name() const
        {
            return _display;
        }

    private:
        pid_t _pid = -1;
        std::string _display;
    };

    std::vector<std::string> CommandLineOf(const std::string& pid)
    {
        std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
        std::vector<std::string> words;
        std::string word;
        while (std::getline(in, word, '\0'))
            words.push_back(word);
        return words;
    }
}

TEST(NoticeGuiTest, WarningNoticeBlocksUntilDismissedWithAKey)
{
    for (const char* tool : {"Xvfb", "zenity", "xdotool", "import"})
    {
        if (!OnPath(tool))
            GTEST_SKIP() << tool << " is not installed";
    }

    VirtualDisplay display;
    ASSERT_FALSE(display.Name().empty()) << "Xvfb did not start";
    ::setenv("DISPLAY", display.Name().c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");

    const std::string title = "QOR notice test " + std::to_string(::getpid());
    const std::string message = "Unable to copy <b>update</b> files & abort.";
    std::atomic<bool> bIsReturned{false};
    std::thread caller([&] {
        QOR::ShowErrorMessageBox(message, title);
        bIsReturned = true;
    });

    std::string window;
    QOR::Test::WaitUntil(
        [&] {
            const auto found = RunTool({"xdotool", "search", "--name", "^" + title + "$"});
            if (found && !found->empty())
                window = found->substr(0, found->find('\n'));
            return !window.empty() || bIsReturned;
        },
        30s);
    std::string dialogPid;
    if (!window.empty())
        dialogPid = RunTool({"xdotool", "getwindowpid", window}).value_or("");
    EXPECT_TRUE(window.empty() || !dialogPid.empty()) << "the notice window names no process";

    if (!window.empty())
    {
        EXPECT_EQ(RunTool({"xdotool", "getwindowname", window}).value_or(""), title);
        const std::vector<std::string> words = CommandLineOf(dialogPid);
        EXPECT_THAT(words, Contains("--warning")) << "the warning mark";
        EXPECT_THAT(words, Contains("--no-markup"));
        EXPECT_THAT(words, Contains("--text=" + message));

        std::this_thread::sleep_for(1s); // let it draw before the picture is taken
        const std::filesystem::path artifacts = QOR_TEST_ARTIFACT_DIR;
        std::filesystem::create_directories(artifacts);
        const std::filesystem::path shot = artifacts / "error_notice.png";
        std::filesystem::remove(shot);
        EXPECT_TRUE(RunTool({"import", "-window", "root", shot.string()}, 20s).has_value());
        EXPECT_TRUE(std::filesystem::exists(shot) && std::filesystem::file_size(shot) > 0);
        EXPECT_FALSE(bIsReturned) << "the caller must wait while the notice is open";

        RunTool({"xdotool", "windowfocus", window});
        RunTool({"xdotool", "key", "Return"});
        EXPECT_TRUE(QOR::Test::WaitUntil([&] { return bIsReturned.load(); }, 15s)) << "a key press closes it";
    }
    else
    {
        ADD_FAILURE() << "no notice window appeared";
    }

    // Never leave the caller blocked: end the dialog if it is still there.
    if (!bIsReturned && !dialogPid.empty())
        ::kill(std::stoi(dialogPid), SIGTERM);
    if (!bIsReturned)
        QOR::Test::WaitUntil([&] { return bIsReturned.load(); }, 15s);
    if (bIsReturned)
        caller.join();
    else
        caller.detach();
    ::unsetenv("DISPLAY");
}
