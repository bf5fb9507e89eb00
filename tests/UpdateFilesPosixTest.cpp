// Links and permission bits of the apply, which only a POSIX system lets a test create freely.

#include "TestTree.h"

#include "UpdaterTest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace QOR::Testing
{
    namespace
    {
        using ::testing::HasSubstr;
        using ::testing::IsEmpty;
        namespace Protocol = LauncherProtocol;

        // Applies the staged tree; returns the log text of its failure, empty when it succeeded.
        std::string Apply()
        {
            return ApplyStaged();
        }

        class UpdateTreeLinkTest : public ::testing::Test, public TemporaryInstallation
        {
        protected:
            fs::path Outside(const std::string& relative) const { return _outside.Path() / relative; }

        private:
            TemporaryFolder _outside;
            CurrentDirectory _cwd{Dir()};
        };

        TEST_F(UpdateTreeLinkTest, LinkToAFileOutsideRefusesTheWholeTreeBeforeAnyCopy)
        {
            WriteFile(Outside("secret"), "not for the installation");
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");
            fs::create_directories(Staged("bin"));
            fs::create_symlink(Outside("secret"), Staged("bin/secret"));

            EXPECT_THAT(Apply(), HasSubstr("File:./self_update/bin/secret. Err: "));
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_FALSE(fs::exists(Installed("bin")));
        }

        // A staged link is installed as the same link at its own place, as cp -a would, so that
        // libfoo.so keeps pointing at the library of the new version. A link that leads out of the tree,
        // or into the staging folder that is deleted next, refuses the whole update.
        TEST_F(UpdateTreeLinkTest, StagedLinksInstallAsTheSameLinkOrRefuseTheUpdate)
        {
            struct Case
            {
                const char* link;
                std::string text;
                bool bIsInstalled;
            };
            const std::vector<Case> cases = {
                {"bin/libfoo.so", "libfoo.so.2", true},
                {"bin/current.pak", "../data/v2.pak", true},
                {"bin/later.cfg", "not-staged-yet.cfg", true},
                // The hole this closes: the link used to be followed and its target's place overwritten.
                {"helper.bin", Protocol::UpdaterFileName, true},
                {"bin/escape", "../../outside", false},
                {"bin/absolute", Staged("bin/libfoo.so.2").string(), false},
                {"bin/staging", "../self_update/bin/libfoo.so.2", false},
            };
            for (const Case& c : cases)
            {
                SCOPED_TRACE(std::string(c.link) + " -> " + c.text);
                fs::remove_all(Installed(Protocol::StagingFolderName));
                fs::remove_all(Installed("bin"));
                fs::remove_all(Installed("data"));
                fs::remove(Installed("helper.bin"));
                WriteFile(Staged("bin/libfoo.so.2"), "new library");
                WriteFile(Staged("data/v2.pak"), "v2");
                WriteFile(Installed("bin/libfoo.so.1"), "old library");
                fs::create_symlink("libfoo.so.1", Installed("bin/libfoo.so"));
                WriteFile(Installed(Protocol::UpdaterFileName), "running updater");
                fs::remove(Staged(c.link));
                fs::create_symlink(c.text, Staged(c.link));
                const auto before = Snapshot(Dir());

                const std::string logText = Apply();

                EXPECT_EQ(ReadFile(Installed(Protocol::UpdaterFileName)), "running updater");
                if (!c.bIsInstalled)
                {
                    EXPECT_THAT(logText, HasSubstr(std::string("File:./self_update/") + c.link +
                                                   ". Err: The staged file leads outside the update folder."));
                    EXPECT_EQ(Snapshot(Dir()), before);
                    continue;
                }
                ASSERT_EQ(logText, "");
                ASSERT_TRUE(fs::is_symlink(fs::symlink_status(Installed(c.link))));
                EXPECT_EQ(fs::read_symlink(Installed(c.link)).string(), c.text);
                EXPECT_EQ(ReadFile(Installed("bin/libfoo.so.2")), "new library");
                EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
            }
        }

        TEST_F(UpdateTreeLinkTest, LinkedFoldersAreNeitherEnteredNorInstalled)
        {
            WriteFile(Outside("dir/payload"), "outside");
            WriteFile(Staged("real/data.txt"), "data");
            fs::create_directory_symlink(Outside("dir"), Staged("linked"));
            fs::create_directory_symlink("real", Staged("alias"));

            ASSERT_EQ(Apply(), "");
            EXPECT_FALSE(fs::exists(fs::symlink_status(Installed("linked"))));
            EXPECT_FALSE(fs::exists(fs::symlink_status(Installed("alias"))));
            EXPECT_EQ(ReadFile(Installed("real/data.txt")), "data");

            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_EQ(ReadFile(Outside("dir/payload")), "outside");
        }

        TEST_F(UpdateTreeLinkTest, MoveKeepsPermissionBitsAndReplacesAnInstalledLinkItself)
        {
            WriteFile(Staged("run.sh"), "#!/bin/sh\n");
            fs::permissions(Staged("run.sh"), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                            fs::perm_options::replace);
            // An installed link is replaced itself; what it pointed to stays as it was.
            WriteFile(Outside("target"), "outside");
            fs::create_symlink(Outside("target"), Installed("run.sh"));

            ASSERT_EQ(Apply(), "");
            EXPECT_EQ(fs::status(Installed("run.sh")).permissions(),
                      fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
            EXPECT_FALSE(fs::is_symlink(Installed("run.sh")));
            EXPECT_EQ(ReadFile(Outside("target")), "outside");
        }
    }
}
