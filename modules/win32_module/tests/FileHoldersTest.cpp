// Who holds a file: the text of the log line, the bound on the system's query, and the real query
// (which names nobody under Wine and on Linux, and must still end cleanly).
#include "qor/Utility/FileHolders.h"

#include "../src/qor/Utility/FileHoldersDetail.h"
#include "TestProcess.h"
#include "TestTree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using QOR::Detail::FileHolder;

TEST(FileHoldersTest, TextNamesEachProcessOnceAndStaysShort)
{
    std::vector<FileHolder> many;
    for (std::uint32_t pid = 1; pid <= 11; ++pid)
        many.push_back({"p" + std::to_string(pid) + ".exe", pid});
    many.push_back({"again.exe", 3}); // a known process is not counted as one more

    const struct
    {
        std::vector<FileHolder> holders;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{{"game.exe", 1234}}, "game.exe (pid 1234)"},
        {{{"game.exe", 1234}, {"scanner.exe", 99}}, "game.exe (pid 1234), scanner.exe (pid 99)"},
        {{{"", 7}, {"Windows Explorer", 8}}, "pid 7, Windows Explorer (pid 8)"},
        {{{"game.exe", 5}, {"game.exe", 5}, {"other name", 5}}, "game.exe (pid 5)"},
        {many, "p1.exe (pid 1), p2.exe (pid 2), p3.exe (pid 3), p4.exe (pid 4), p5.exe (pid 5), p6.exe (pid 6), "
               "p7.exe (pid 7), p8.exe (pid 8), and 3 more"},
    };
    for (const auto& [holders, text] : cases)
        EXPECT_EQ(QOR::Detail::FormatFileHolders(holders), text);
}

TEST(FileHoldersTest, QueryThatHangsOrFailsNamesNobodyAndDoesNotHoldTheCallerUp)
{
    const std::vector<FileHolder> answer = {{"game.exe", 1234}};
    const std::vector<FileHolder> quick = QOR::Detail::QueryWithin([&answer] { return answer; }, 60s);
    ASSERT_EQ(quick.size(), 1u);
    EXPECT_EQ(quick[0].name, "game.exe");

    EXPECT_TRUE(
        QOR::Detail::QueryWithin([]() -> std::vector<FileHolder> { throw std::runtime_error("no"); }, 60s).empty());

    // The query only ends once the caller has returned: the wait cannot have been longer than it.
    auto released = std::make_shared<std::atomic<bool>>(false);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    const std::vector<FileHolder> hung = QOR::Detail::QueryWithin(
        [released, ended, &answer] {
            while (!released->load())
                std::this_thread::sleep_for(1ms);
            ended->store(true);
            return answer;
        },
        20ms);
    EXPECT_TRUE(hung.empty());
    EXPECT_FALSE(ended->load());
    released->store(true);
    EXPECT_TRUE(QOR::Testing::WaitUntil([&ended] { return ended->load(); }, 10s));
}

// Wine's Restart Manager answers with an empty list and Linux has no such query, so here the text is
// empty; on Windows itself it names this test program. Either way the call ends and throws nothing.
TEST(FileHoldersTest, RealQueryOnAFileHeldByThisProcessNamesItOrNobody)
{
    const QOR::Testing::TemporaryFolder dir;
    const std::filesystem::path file = dir.Path() / "held.bin";
    {
        std::ofstream held(file, std::ios::binary);
        held << "held";
        held.flush();
        const std::string text = QOR::DescribeFileHolders(file, 30s);
        if (!text.empty())
        {
            EXPECT_NE(text.find("(pid " + std::to_string(QOR::Testing::CurrentProcessId()) + ")"), std::string::npos)
                << text;
        }
    }
    EXPECT_EQ(QOR::DescribeFileHolders(dir.Path() / "missing.bin", 30s), "");
}
