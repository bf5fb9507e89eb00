// End-to-end runs with links in the staging tree, which a POSIX test can create freely.

#include "TestProcess.h"
#include "TestTree.h"

#include <qor/Utility/LauncherProtocol.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace QOR::Testing
{
    namespace
    {
        using namespace std::chrono_literals;
        using ::testing::HasSubstr;
        namespace Protocol = LauncherProtocol;

        TEST(EndToEndLinkTest, LinkOutOfTheStagingTreeIsRefusedAndNothingIsCopied)
        {
            UseNoDisplay();
            TemporaryFolder outside;
            TemporaryFolder installation;
            const fs::path dir = installation.Path();
            const fs::path staging = dir / Protocol::StagingFolderName;
            fs::copy_file(QOR_UPDATER_EXE, dir / Protocol::UpdaterFileName);
            fs::copy_file(QOR_LAUNCHER_EXE, dir / Protocol::LauncherFileName);
            WriteFile(outside.Path() / "passwd", "outside");
            WriteFile(staging / "a.txt", "new");
            WriteFile(dir / "a.txt", "old");
            fs::create_symlink(outside.Path() / "passwd", staging / "passwd");

            TestProcess updater(dir / Protocol::UpdaterFileName, {}, dir);
            EXPECT_EQ(updater.Wait(60s), std::optional<int>(1));

            EXPECT_THAT(ReadFile(dir / Protocol::LogFolderName / Protocol::LogFileName),
                        HasSubstr("\"message\": \"Unable to copy update files. Aborting application. "
                                  "File:./self_update/passwd. Err: "));
            EXPECT_EQ(ReadFile(dir / "a.txt"), "old");
            EXPECT_FALSE(fs::exists(dir / "passwd"));
            EXPECT_TRUE(fs::exists(staging / "a.txt"));
        }
    }
}
