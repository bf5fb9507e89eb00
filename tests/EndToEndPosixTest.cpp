// End-to-end runs with links in the staging tree, which a POSIX test can create freely.

#include "TestProcess.h"
#include "TestTree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace QOR::Testing
{
    namespace
    {
        using namespace std::chrono_literals;
        using ::testing::HasSubstr;

        TEST(EndToEndLinkTest, LinkOutOfTheStagingTreeIsRefusedAndNothingIsCopied)
        {
            UseNoDisplay();
            TemporaryFolder outside;
            TemporaryFolder installation;
            const fs::path dir = installation.Path();
            fs::copy_file(QOR_UPDATER_EXE, dir / "QORLauncherUpdater.exe");
            fs::copy_file(QOR_LAUNCHER_EXE, dir / "QORLauncher.exe");
            WriteFile(outside.Path() / "passwd", "outside");
            WriteFile(dir / "self_update/a.txt", "new");
            WriteFile(dir / "a.txt", "old");
            fs::create_symlink(outside.Path() / "passwd", dir / "self_update/passwd");

            TestProcess updater(dir / "QORLauncherUpdater.exe", {}, dir);
            EXPECT_EQ(updater.Wait(60s), std::optional<int>(1));

            EXPECT_THAT(ReadFile(dir / "log/self_updater_log.txt"),
                        HasSubstr("\"message\": \"Unable to copy update files. Aborting application. "
                                  "File:./self_update/passwd. Err: "));
            EXPECT_EQ(ReadFile(dir / "a.txt"), "old");
            EXPECT_FALSE(fs::exists(dir / "passwd"));
            EXPECT_TRUE(fs::exists(dir / "self_update/a.txt"));
        }
    }
}
