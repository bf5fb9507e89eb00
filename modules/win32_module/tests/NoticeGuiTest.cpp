// The notice on a real display: a private Xvfb server, the desktop's dialog tool, xdotool to find and
// dismiss the window, and a screenshot kept as a test artifact.
#include "qor/Utility/Utility.h"

#include "TestProcess.h"
#include "TestTree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include <unistd.h>

#ifndef QOR_TEST_ARTIFACT_DIR
#define QOR_TEST_ARTIFACT_DIR "artifacts"
#endif

using namespace std::chrono_literals;
using namespace QOR::Testing;
using testing::Contains;

namespace
{
    const fs::path Tools = "/usr/bin";

    // Runs a tool for at most `timeout`: its output without the last line end, or nothing when it failed.
    std::optional<std::string> RunTool(const std::vector<std::string>& words, std::chrono::milliseconds timeout = 10s)
    {
        const TemporaryFolder folder;
        StandardStreams streams;
        streams.output = {Stream::Kind::File, folder.Path() / "output"};
        streams.error = {Stream::Kind::File, folder.Path() / "error"};
        TestProcess tool(Tools / words.front(), {words.begin() + 1, words.end()}, folder.Path(), streams);
        if (tool.Wait(timeout) != std::optional<int>(0))
            return std::nullopt;
        std::string output = ReadFile(folder.Path() / "output");
        while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
            output.pop_back();
        return output;
    }

    // A private X server on a random high display number, so that no other server (of the developer
    // or of a parallel test) is hit.
    class VirtualDisplay
    {
    public:
        VirtualDisplay()
        {
            std::random_device device;
            for (int attempt = 0; attempt < 5 && _name.empty(); ++attempt)
            {
                const std::string number = std::to_string(100 + device() % 900);
                const fs::path reported = _folder.Path() / ("display" + number);
                StandardStreams streams;
                streams.output = {Stream::Kind::File, reported};
                streams.error = {Stream::Kind::File, _folder.Path() / "log"};
                // The number comes back on the output once the server is ready; it ends when the number
                // is in use. Without -noreset the server resets whenever its last client leaves, and a
                // dialog that connects during the reset finds no display.
                _server.emplace(Tools / "Xvfb",
                                std::vector<std::string>{":" + number, "-displayfd", "1", "-screen", "0", "800x600x24",
                                                         "-nolisten", "tcp", "-noreset"},
                                _folder.Path(), streams);
                const auto isReported = [&] { return ReadFile(reported) == number + "\n"; };
                WaitUntil([&] { return isReported() || _server->Wait(0ms).has_value(); }, 20s);
                // Ready means a client can connect, not only that the server said so: a server that
                // lost a race for the number can report and still not be reachable.
                if (isReported() &&
                    WaitUntil(
                        [&] {
                            return RunTool({"env", "DISPLAY=:" + number, "xdotool", "getdisplaygeometry"}).has_value();
                        },
                        10s))
                    _name = ":" + number;
                else
                    _server.reset();
            }
        }

        const std::string& Name() const { return _name; }

    private:
        TemporaryFolder _folder;
        std::optional<TestProcess> _server;
        std::string _name;
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
        if (!fs::exists(Tools / tool))
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
    WaitUntil(
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
        EXPECT_TRUE(WaitUntil([&] { return bIsReturned.load(); }, 15s)) << "a key press closes it";
    }
    else
    {
        ADD_FAILURE() << "no notice window appeared";
    }

    // Never leave the caller blocked: end the dialog if it is still there.
    if (!bIsReturned && !dialogPid.empty())
        KillProcess(static_cast<std::uint32_t>(std::stoul(dialogPid)));
    if (!bIsReturned)
        WaitUntil([&] { return bIsReturned.load(); }, 15s);
    if (bIsReturned)
        caller.join();
    else
        caller.detach();
    ::unsetenv("DISPLAY");
}
