// End-to-end runs with links in the staging tree, which a POSIX test can create freely.

#include "InstallationTest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace QOR::Testing
{
    namespace
    {
        using ::testing::StartsWith;
        using EndToEndLinkTest = InstallationTest;

        TEST_F(EndToEndLinkTest, LinkOutOfTheStagingTreeIsRefusedAndNothingIsCopied)
        {
            const TemporaryFolder outside;
            WriteFile(outside.Path() / "passwd", "outside");
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");
            fs::create_symlink(outside.Path() / "passwd", Staged("passwd"));

            EXPECT_EQ(RunUpdater(), 1);

            EXPECT_THAT(LoggedMessage(), StartsWith("Unable to copy update files. Aborting application. "
                                                    "File:./self_update/passwd. Err: "));
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_FALSE(fs::exists(Installed("passwd")));
            EXPECT_TRUE(fs::exists(Staged("a.txt")));
        }
    }
}
