// Links and permission bits of the tree copy, which only a POSIX system lets a test create freely.

#include "TestTree.h"

#include <UpdateFiles.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace QOR::Testing
{
    namespace
    {
        using ::testing::HasSubstr;

        class UpdateTreeLinkTest : public ::testing::Test
        {
        protected:
            fs::path Staged(const std::string& relative) const { return _folder.Path() / "self_update" / relative; }
            fs::path Installed(const std::string& relative) const { return _folder.Path() / relative; }
            fs::path Outside(const std::string& relative) const { return _outside.Path() / relative; }

        private:
            TemporaryFolder _outside;
            TemporaryFolder _folder;
            CurrentDirectory _cwd{_folder.Path()};
        };

        TEST_F(UpdateTreeLinkTest, LinkToAFileOutsideRefusesTheWholeTreeBeforeAnyCopy)
        {
            WriteFile(Outside("secret"), "not for the installation");
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");
            fs::create_directories(Staged("bin"));
            fs::create_symlink(Outside("secret"), Staged("bin/secret"));

            const Update::TreeCopyResult result = Update::CopyUpdateTree();

            EXPECT_FALSE(result.copied);
            EXPECT_THAT(result.logText, HasSubstr("File:./self_update/bin/secret. Err: "));
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_FALSE(fs::exists(Installed("bin")));
        }

        TEST_F(UpdateTreeLinkTest, LinkedFoldersAreNotEnteredAndLinksInsideFollowTheirTarget)
        {
            WriteFile(Outside("dir/payload"), "outside");
            WriteFile(Staged("real/data.txt"), "data");
            fs::create_directory_symlink(Outside("dir"), Staged("linked"));
            fs::create_symlink(Staged("real/data.txt"), Staged("alias.txt"));

            ASSERT_TRUE(Update::CopyUpdateTree().copied);
            EXPECT_FALSE(fs::exists(Installed("linked")));
            EXPECT_EQ(ReadFile(Installed("real/data.txt")), "data");
            // A link maps to where it really lies in the staging tree.
            EXPECT_FALSE(fs::exists(Installed("alias.txt")));

            EXPECT_EQ(Update::RemoveUpdateTree(), "");
            EXPECT_EQ(ReadFile(Outside("dir/payload")), "outside");
        }

        TEST_F(UpdateTreeLinkTest, CopyKeepsPermissionBitsAndReplacesRatherThanWritesThrough)
        {
            WriteFile(Staged("run.sh"), "#!/bin/sh\n");
            fs::permissions(Staged("run.sh"), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                            fs::perm_options::replace);
            // An installed link is replaced itself; what it pointed to stays as it was.
            WriteFile(Outside("target"), "outside");
            fs::create_symlink(Outside("target"), Installed("run.sh"));

            ASSERT_TRUE(Update::CopyUpdateTree().copied);
            EXPECT_EQ(fs::status(Installed("run.sh")).permissions(),
                      fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
            EXPECT_FALSE(fs::is_symlink(Installed("run.sh")));
            EXPECT_EQ(ReadFile(Outside("target")), "outside");
        }
    }
}
