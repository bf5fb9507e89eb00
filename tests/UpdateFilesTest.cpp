// The tree copy and the removal, driven directly in temporary installations.

#include "TestTree.h"

#include <UpdateFiles.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace QOR::Testing
{
    namespace
    {
        using ::testing::ElementsAre;
        using ::testing::HasSubstr;
        using ::testing::IsEmpty;
        using ::testing::StartsWith;

        const std::string Separator{static_cast<char>(fs::path::preferred_separator)};

        class UpdateTreeTest : public ::testing::Test
        {
        protected:
            fs::path Staged(const std::string& relative) const { return _folder.Path() / "self_update" / relative; }
            fs::path Installed(const std::string& relative) const { return _folder.Path() / relative; }
            fs::path Root() const { return _folder.Path(); }

        private:
            TemporaryFolder _folder;
            CurrentDirectory _cwd{_folder.Path()};
        };

        TEST_F(UpdateTreeTest, CopiesEveryFileByTheMappingAndSkipRules)
        {
            WriteFile(Staged("root.txt"), "root new");
            WriteFile(Staged("bin/core.dll"), "core new");
            WriteFile(Staged("bin/deep/er/data.pak"), "data");
            WriteFile(Staged("QORLauncherUpdater.exe"), "updater");
            WriteFile(Staged("bin/QORLauncherUpdater.exe"), "nested updater");
            WriteFile(Staged("bin/qorlauncherupdater.exe"), "other case");
            // On a case-insensitive file system the two names are one file, named as first written.
            const bool caseSensitive =
                !fs::equivalent(Staged("bin/qorlauncherupdater.exe"), Staged("bin/QORLauncherUpdater.exe"));
            fs::create_directories(Staged("empty/inner"));
            WriteFile(Installed("root.txt"), "root old");
            WriteFile(Installed("bin/core.dll"), "core old");
            WriteFile(Installed("bin/only-installed.cfg"), "mine");
            WriteFile(Installed("QORLauncherUpdater.exe"), "running updater");

            const Update::TreeCopyResult result = Update::CopyUpdateTree();

            ASSERT_TRUE(result.copied) << result.logText;
            EXPECT_THAT(result.logText, IsEmpty());
            EXPECT_EQ(ReadFile(Installed("root.txt")), "root new");
            EXPECT_EQ(ReadFile(Installed("bin/core.dll")), "core new");
            EXPECT_EQ(ReadFile(Installed("bin/deep/er/data.pak")), "data");
            EXPECT_EQ(ReadFile(Installed("bin/only-installed.cfg")), "mine");
            EXPECT_EQ(ReadFile(Installed("QORLauncherUpdater.exe")), "running updater");
            EXPECT_FALSE(fs::exists(Installed("bin/QORLauncherUpdater.exe")));
            EXPECT_FALSE(fs::exists(Installed("empty")));
            EXPECT_THAT(LeftoverTemporaries(Root()), IsEmpty());
            // The staging tree is left for the removal.
            EXPECT_EQ(ReadFile(Staged("bin/core.dll")), "core new");
            if (caseSensitive)
            {
                EXPECT_EQ(ReadFile(Installed("bin/qorlauncherupdater.exe")), "other case");
            }
        }

        TEST_F(UpdateTreeTest, TargetDirectoryReceivesTheFileUnderItsOwnName)
        {
            WriteFile(Staged("data.pak"), "pak");
            fs::create_directories(Installed("data.pak"));

            ASSERT_TRUE(Update::CopyUpdateTree().copied);
            EXPECT_EQ(ReadFile(Installed("data.pak/data.pak")), "pak");
        }

        TEST_F(UpdateTreeTest, LeftoverOfAKilledRunIsReplacedAndGone)
        {
            WriteFile(Staged("bin/core.dll"), "core new");
            WriteFile(Installed("bin/.core.dll.qor-tmp"), "half written");

            ASSERT_TRUE(Update::CopyUpdateTree().copied);
            EXPECT_EQ(ReadFile(Installed("bin/core.dll")), "core new");
            EXPECT_THAT(LeftoverTemporaries(Root()), IsEmpty());
        }

        TEST_F(UpdateTreeTest, ParentThatIsAFileFailsWithTheDirectoryReport)
        {
            WriteFile(Staged("bin/core.dll"), "core new");
            WriteFile(Installed("bin"), "a file in the way");

            const Update::TreeCopyResult result = Update::CopyUpdateTree();

            EXPECT_FALSE(result.copied);
            EXPECT_THAT(result.logText, StartsWith("Unable to create directory. Aborting application. Director:" +
                                                   Update::PathText(Root() / "bin") + ". Err: "));
            EXPECT_GT(result.logText.size(), std::string("Unable to create directory. Aborting application. Director:")
                                                     .size() + Update::PathText(Root() / "bin").size() + 7);
            EXPECT_EQ(ReadFile(Installed("bin")), "a file in the way");
            EXPECT_EQ(ReadFile(Staged("bin/core.dll")), "core new");
        }

        TEST_F(UpdateTreeTest, FileThatCannotBeReplacedStopsTheCopyAndNamesTheStagedPath)
        {
            WriteFile(Staged("bin/core.dll"), "core new");
            // The target is a folder holding a non-empty folder of the same name: nothing can replace it.
            WriteFile(Installed("bin/core.dll/core.dll/keep"), "keep");

            const Update::TreeCopyResult result = Update::CopyUpdateTree();

            EXPECT_FALSE(result.copied);
            EXPECT_THAT(result.logText, StartsWith("Unable to copy update files. Aborting application. File:"
                                                   "./self_update" + Separator + "bin" + Separator + "core.dll. Err: "));
            EXPECT_EQ(ReadFile(Installed("bin/core.dll/core.dll/keep")), "keep");
            EXPECT_EQ(ReadFile(Staged("bin/core.dll")), "core new");
            EXPECT_THAT(LeftoverTemporaries(Root()), IsEmpty());
        }

        TEST_F(UpdateTreeTest, FailureLeavesEarlierFilesCopiedAndLaterOnesUntried)
        {
            for (const char* name : {"a", "b", "c", "d", "e"})
            {
                WriteFile(Staged(name), std::string("new ") + name);
                WriteFile(Installed(name), std::string("old ") + name);
            }
            fs::remove(Installed("c"));
            WriteFile(Installed("c/c/keep"), "keep");

            const Update::TreeCopyResult result = Update::CopyUpdateTree();

            ASSERT_FALSE(result.copied);
            EXPECT_THAT(result.logText, HasSubstr("File:./self_update" + Separator + "c. Err: "));
            // Walk order is the file system's: the files listed before the failing one are copied, the ones
            // after it untouched.
            bool beforeFailure = true;
            for (const fs::directory_entry& entry : fs::directory_iterator(Root() / "self_update"))
            {
                const std::string name = entry.path().filename().string();
                if (name == "c")
                {
                    beforeFailure = false;
                    continue;
                }
                EXPECT_EQ(ReadFile(Installed(name)), (beforeFailure ? "new " : "old ") + name);
            }
            EXPECT_THAT(LeftoverTemporaries(Root()), IsEmpty());
            EXPECT_EQ(ListTree(Root() / "self_update"), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
        }

        TEST_F(UpdateTreeTest, LargeTreesAreCopiedWholeAcrossFlushBatches)
        {
            std::vector<std::string> names;
            for (int i = 0; i < 1100; ++i)
            {
                names.push_back("d" + std::to_string(i % 7) + "/f" + std::to_string(i));
                WriteFile(Staged(names.back()), "new " + std::to_string(i));
                if (i % 3 == 0)
                {
                    WriteFile(Installed(names.back()), "old");
                }
            }

            ASSERT_TRUE(Update::CopyUpdateTree().copied);

            for (std::size_t i = 0; i < names.size(); ++i)
            {
                EXPECT_EQ(ReadFile(Installed(names[i])), "new " + std::to_string(i)) << names[i];
            }
            EXPECT_THAT(LeftoverTemporaries(Root()), IsEmpty());
        }

        TEST_F(UpdateTreeTest, MissingStagingTreeIsReportedLikeACopyFailure)
        {
            const Update::TreeCopyResult result = Update::CopyUpdateTree();

            EXPECT_FALSE(result.copied);
            EXPECT_THAT(result.logText, StartsWith("Unable to copy update files. Aborting application. "
                                                   "File:./self_update. Err: "));
        }

        TEST_F(UpdateTreeTest, FileThatWouldLandInTheStagingTreeIsRefusedBeforeAnyCopy)
        {
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Staged("self_update/b.txt"), "lost with the staging tree");
            WriteFile(Installed("a.txt"), "old");

            const Update::TreeCopyResult result = Update::CopyUpdateTree();

            EXPECT_FALSE(result.copied);
            EXPECT_THAT(result.logText, HasSubstr("self_update" + Separator + "b.txt. Err: "));
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
        }

        TEST_F(UpdateTreeTest, RemovalDeletesTheWholeTreeAndAMissingTreeIsNoError)
        {
            WriteFile(Staged("bin/core.dll"), "x");
            WriteFile(Staged("QORLauncherUpdater.exe"), "x");
            fs::create_directories(Staged("empty"));
            fs::permissions(Staged("bin/core.dll"), fs::perms::owner_read, fs::perm_options::replace);

            EXPECT_EQ(Update::RemoveUpdateTree(), "");
            EXPECT_FALSE(fs::exists(Root() / "self_update"));
            EXPECT_EQ(Update::RemoveUpdateTree(), "");
        }

        TEST(UpdateTextTest, InvalidTextBecomesReplacementCharacters)
        {
            EXPECT_EQ(Update::SanitizeUtf8("plain/ü/€/😀"), "plain/ü/€/😀");
            EXPECT_EQ(Update::SanitizeUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
            // How many U+FFFD an ill-formed sequence gives is the platform converter's choice; what
            // matters is that the bad bytes are gone and the result is well-formed.
            for (const std::string bad : {"\xC0\xAF", "\xED\xA0\x80", "end\xE2\x82", "\xF4\x90\x80\x80"})
            {
                const std::string text = Update::SanitizeUtf8(bad);
                EXPECT_NE(text.find("\xEF\xBF\xBD"), std::string::npos) << text;
                EXPECT_EQ(Update::SanitizeUtf8(text), text);
            }
            EXPECT_EQ(Update::TemporaryPathFor(fs::path("bin") / "core.dll"), fs::path("bin") / ".core.dll.qor-tmp");
        }
    }
}
