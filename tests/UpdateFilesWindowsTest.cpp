// The apply on the real Windows file system (under Wine in CI), driven directly: read-only attributes.
// Wine renames over a read-only file where Windows refuses, so what these show is that each file ends with
// the attribute it must have, installed and after an undo; the refusal itself is the in-memory file
// system's (RecoveryTest, UpdateRunTest).

#include "TestTree.h"

#include "UpdaterTest.h"

#include <apply/JournalFormat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace QOR::Testing
{
    namespace
    {
        using ::testing::HasSubstr;
        using ::testing::IsEmpty;
        namespace Protocol = LauncherProtocol;
        namespace Format = Update::JournalFormat;

        Update::EntryStatus StatusOf(const fs::path& path)
        {
            Update::EntryStatus status;
            EXPECT_FALSE(Update::SystemFileSystem().Status(path.native(), status)) << path;
            return status;
        }

        void SetReadOnly(const fs::path& path, bool bIsReadOnly)
        {
            ASSERT_FALSE(Update::SystemFileSystem().SetReadOnly(path.native(), bIsReadOnly)) << path;
        }

        class ReadOnlyFilesTest : public ::testing::Test, public TemporaryInstallation
        {
        protected:
            ~ReadOnlyFilesTest() override
            {
                // So that the temporary folder can go.
                for (const std::string& entry : ListTree(Dir()))
                {
                    (void)Update::SystemFileSystem().SetReadOnly((Dir() / entry).native(), false);
                }
            }

        private:
            CurrentDirectory _cwd{Dir()};
        };

        TEST_F(ReadOnlyFilesTest, AReplacedFileTakesTheStagedFilesAttribute)
        {
            WriteFile(Installed("was-read-only.txt"), "old");
            WriteFile(Staged("was-read-only.txt"), "new");
            WriteFile(Installed("becomes-read-only.txt"), "old");
            WriteFile(Staged("becomes-read-only.txt"), "new");
            WriteFile(Staged("new-read-only.txt"), "new");
            SetReadOnly(Installed("was-read-only.txt"), true);
            SetReadOnly(Staged("becomes-read-only.txt"), true);
            SetReadOnly(Staged("new-read-only.txt"), true);

            ASSERT_EQ(ApplyStaged(), "");

            for (const char* name : {"was-read-only.txt", "becomes-read-only.txt", "new-read-only.txt"})
            {
                EXPECT_EQ(ReadFile(Installed(name)), "new") << name;
            }
            EXPECT_FALSE(StatusOf(Installed("was-read-only.txt")).bIsReadOnly);
            EXPECT_TRUE(StatusOf(Installed("becomes-read-only.txt")).bIsReadOnly);
            EXPECT_TRUE(StatusOf(Installed("new-read-only.txt")).bIsReadOnly);
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
        }

        // A run killed right after it replaced a read-only file with a read-only staged one, both made
        // writable on the way (the record written here as that run wrote it): the next run puts the old file
        // back read-only and gives the staged file back read-only, before it applies anything (here it then
        // refuses the staged log, so the state the repair left can be looked at).
        TEST_F(ReadOnlyFilesTest, AnUndoPutsBothAttributesBack)
        {
            constexpr std::uint64_t Tag = 0x0123456789abcdefull;
            const fs::path work = Dir() / Format::WorkFolderName(Tag);
            const fs::path backup = Dir() / Format::WorkingFileName(Tag, 0, Format::BackupRole);
            WriteFile(backup, "old");
            WriteFile(Installed("a.txt"), "new");
            WriteFile(work / Format::StagingName / Protocol::LogFolderName / Protocol::LogFileName, "a staged log");
            Update::UpdatePlan plan;
            plan.SetTag(Tag);
            plan.AddReplacingEntry(Update::FromAscii("a.txt"), Update::EntryKind::File, StatusOf(Installed("a.txt")).id,
                                   StatusOf(backup).id);
            plan.SetReadOnly(0, true, true);
            WriteFile(work / Format::JournalName, Format::Serialize(plan));

            EXPECT_THAT(ApplyStaged(), HasSubstr("The staged file would replace the updater's own log"));

            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_TRUE(StatusOf(Installed("a.txt")).bIsReadOnly);
            EXPECT_EQ(ReadFile(Staged("a.txt")), "new");
            EXPECT_TRUE(StatusOf(Staged("a.txt")).bIsReadOnly);
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
        }
    }
}
