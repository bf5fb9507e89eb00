// The apply and the removal, driven directly in temporary installations.

#include "TestProcess.h"
#include "TestTree.h"

#include "UpdaterTest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

namespace QOR::Testing
{
    namespace
    {
        using ::testing::HasSubstr;
        using ::testing::IsEmpty;
        using ::testing::Not;
        using ::testing::StartsWith;
        namespace Protocol = LauncherProtocol;

        const std::string Separator{static_cast<char>(fs::path::preferred_separator)};

        // Applies the staged tree; returns the log text of its failure, empty when it succeeded.
        std::string Apply()
        {
            return ApplyStaged();
        }

        class UpdateTreeTest : public ::testing::Test, public TemporaryInstallation
        {
        protected:
            // What the procedure does on success: apply, then remove the staging tree.
            void ApplyAndRemove()
            {
                ASSERT_EQ(Apply(), "");
                EXPECT_FALSE(fs::exists(Staging()));
                EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
            }

        private:
            CurrentDirectory _cwd{Dir()};
        };

        TEST_F(UpdateTreeTest, CopiesEveryFileByTheMappingAndSkipRules)
        {
            WriteFile(Staged("root.txt"), "root new");
            WriteFile(Staged("bin/core.dll"), "core new");
            WriteFile(Staged("bin/deep/er/data.pak"), "data");
            WriteFile(Staged(Protocol::UpdaterFileName), "updater");
            WriteFile(Staged("bin") / Protocol::UpdaterFileName, "nested updater");
            WriteFile(Staged("bin/qorlauncherupdater.exe"), "other case");
            // On a case-insensitive file system the two names are one file, named as first written.
            const bool caseSensitive =
                !fs::equivalent(Staged("bin/qorlauncherupdater.exe"), Staged("bin") / Protocol::UpdaterFileName);
            fs::create_directories(Staged("empty/inner"));
            WriteFile(Installed("root.txt"), "root old");
            WriteFile(Installed("bin/core.dll"), "core old");
            WriteFile(Installed("bin/only-installed.cfg"), "mine");
            WriteFile(Installed(Protocol::UpdaterFileName), "running updater");

            ASSERT_EQ(Apply(), "");

            EXPECT_EQ(ReadFile(Installed("root.txt")), "root new");
            EXPECT_EQ(ReadFile(Installed("bin/core.dll")), "core new");
            EXPECT_EQ(ReadFile(Installed("bin/deep/er/data.pak")), "data");
            EXPECT_EQ(ReadFile(Installed("bin/only-installed.cfg")), "mine");
            EXPECT_EQ(ReadFile(Installed(Protocol::UpdaterFileName)), "running updater");
            EXPECT_FALSE(fs::exists(Installed("bin") / Protocol::UpdaterFileName));
            EXPECT_FALSE(fs::exists(Installed("empty")));
            if (caseSensitive)
            {
                EXPECT_EQ(ReadFile(Installed("bin/qorlauncherupdater.exe")), "other case");
            }
            // The replaced files are kept until the staging tree is gone.
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
        }

        // A folder of the installation where a staged file lands would swallow the file (it used to end
        // up as data.pak/data.pak): the update fails before any change instead.
        TEST_F(UpdateTreeTest, FolderWhereAFileLandsFailsTheUpdateBeforeAnyChange)
        {
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");
            WriteFile(Staged("data.pak"), "pak");
            fs::create_directories(Installed("data.pak"));
            const auto before = Snapshot(Dir());

            EXPECT_EQ(Apply(), "Unable to copy update files. Aborting application. File:./self_update" + Separator +
                                   "data.pak. Err: A folder of the installation is in the way.");
            EXPECT_EQ(Snapshot(Dir()), before);
        }

        // The updater's working files carry a random tag, so no staged name can meet them: not the
        // temporary name of older versions, not one of the working files' own form, not a name of the
        // longest length the file system allows.
        TEST_F(UpdateTreeTest, AnyStagedNameInstallsCorrectly)
        {
            const std::vector<std::string> names = {
                ".core.dll.qor-tmp",
                "core.dll",
                ".qor-0123456789abcdef",
                ".qor-0123456789abcdef-0b",
                ".qor-0123456789abcdef-1n",
                std::string(255, 'L'),
                std::string(250, 'M') + ".dll",
            };
            for (const std::string& name : names)
            {
                WriteFile(Staged("bin/" + name), "new " + name.substr(0, 40));
                WriteFile(Staged(name), "top " + name.substr(0, 40));
                WriteFile(Installed("bin/" + name), "old");
            }

            ASSERT_EQ(Apply(), "");
            // Only the staged names of the working files' form remain, as installed files.
            EXPECT_EQ(LeftoverTemporaries(Dir()),
                      (std::vector<std::string>{".qor-0123456789abcdef", ".qor-0123456789abcdef-0b",
                                                ".qor-0123456789abcdef-1n", "bin/.qor-0123456789abcdef",
                                                "bin/.qor-0123456789abcdef-0b", "bin/.qor-0123456789abcdef-1n"}));
            for (const std::string& name : names)
            {
                EXPECT_EQ(ReadFile(Installed("bin/" + name)), "new " + name.substr(0, 40)) << name;
                EXPECT_EQ(ReadFile(Installed(name)), "top " + name.substr(0, 40)) << name;
            }
        }

        // The updater holds its log open for the whole run: a staged log is refused before any change, its
        // name compared as the file system compares names; a rotated copy is an ordinary file.
        TEST_F(UpdateTreeTest, StagedLogIsRefusedBeforeAnyChangeAndItsRotatedCopiesInstall)
        {
            const fs::path log = fs::path(Protocol::LogFolderName) / Protocol::LogFileName;
            WriteFile(Installed(log), "the updater's own lines");
            WriteFile(Installed("a.txt"), "old");
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Staged(log), "a log from elsewhere");
            const auto before = Snapshot(Dir());

            EXPECT_EQ(Apply(), "Unable to copy update files. Aborting application. File:./self_update" + Separator +
                                   log.string() +
                                   ". Err: The staged file would replace the updater's own log, which an update "
                                   "never installs.");
            EXPECT_EQ(Snapshot(Dir()), before);

            fs::remove_all(Staged(Protocol::LogFolderName));
            const fs::path variant = fs::path("LOG") / "Self_Updater_Log.TXT";
            WriteFile(Staged(variant), "the log in other case");
            const bool bIsCaseSensitive =
                !fs::equivalent(Installed(variant).parent_path(), Installed(log).parent_path());
            WriteFile(Staged(fs::path(Protocol::LogFolderName) / "self_updater_log.1.txt"), "older lines");

            const std::string logText = Apply();

            if (bIsCaseSensitive)
            {
                // Another file here, byte for byte.
                EXPECT_EQ(logText, "");
                EXPECT_EQ(ReadFile(Installed(variant)), "the log in other case");
            }
            else
            {
                EXPECT_THAT(logText, HasSubstr("File:./self_update" + Separator + variant.string() +
                                               ". Err: The staged file would replace the updater's own log"));
                fs::remove(Staged(variant));
                EXPECT_EQ(Apply(), "");
            }
            EXPECT_EQ(ReadFile(Installed(fs::path(Protocol::LogFolderName) / "self_updater_log.1.txt")), "older lines");
            EXPECT_EQ(ReadFile(Installed(log)), "the updater's own lines");
        }

        // Names that differ only in case are two files on Linux, installed byte for byte (where they would be
        // one name, the update is refused: StagedNamesTest, and under Wine EndToEndWindowsTest).
        TEST_F(UpdateTreeTest, NamesThatDifferOnlyInCaseInstallAsTwoWhereTheFileSystemKeepsTwo)
        {
            WriteFile(Staged("a.txt"), "lower");
            WriteFile(Staged("A.TXT"), "upper");
            if (fs::equivalent(Staged("a.txt"), Staged("A.TXT")))
            {
                GTEST_SKIP() << "the file system takes them for one name";
            }
            WriteFile(Staged("Lib/x.dll"), "x");
            WriteFile(Staged("lib/y.dll"), "y");
            WriteFile(Installed("a.txt"), "old");

            ASSERT_EQ(Apply(), "");

            EXPECT_EQ(ReadFile(Installed("a.txt")), "lower");
            EXPECT_EQ(ReadFile(Installed("A.TXT")), "upper");
            EXPECT_EQ(ReadFile(Installed("Lib/x.dll")), "x");
            EXPECT_EQ(ReadFile(Installed("lib/y.dll")), "y");
            EXPECT_FALSE(fs::exists(Installed("lib/x.dll")));
        }

        TEST_F(UpdateTreeTest, ParentThatIsAFileFailsWithTheDirectoryReport)
        {
            WriteFile(Staged("bin/core.dll"), "core new");
            WriteFile(Installed("bin"), "a file in the way");

            const std::string logText = Apply();

            const std::string prefix =
                "Unable to create directory. Aborting application. Director:" + PathText(Dir() / "bin") + ". Err: ";
            EXPECT_THAT(logText, StartsWith(prefix));
            EXPECT_GT(logText.size(), prefix.size());
            EXPECT_EQ(ReadFile(Installed("bin")), "a file in the way");
            EXPECT_EQ(ReadFile(Staged("bin/core.dll")), "core new");
        }

        TEST_F(UpdateTreeTest, FileThatCannotBeReplacedStopsTheCopyAndNamesTheStagedPath)
        {
            WriteFile(Staged("bin/core.dll"), "core new");
            // The target is a folder holding a non-empty folder of the same name: nothing can replace it.
            WriteFile(Installed("bin/core.dll/core.dll/keep"), "keep");

            EXPECT_THAT(Apply(), StartsWith("Unable to copy update files. Aborting application. File:"
                                            "./self_update" +
                                            Separator + "bin" + Separator + "core.dll. Err: "));
            EXPECT_EQ(ReadFile(Installed("bin/core.dll/core.dll/keep")), "keep");
            EXPECT_EQ(ReadFile(Staged("bin/core.dll")), "core new");
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
        }

        // Whichever file fails, and whatever came before it (files replaced, files new, new folders),
        // the installation and the staging tree end exactly as they were, and the failure names the file.
        TEST_F(UpdateTreeTest, FailureAtAnyFileLeavesInstallationAndStagingAsTheyWere)
        {
            const std::vector<std::string> files = {"a.txt", "bin/b.dll", "new/deeper/c.pak", "d.cfg", "bin/e.dll"};
            // Where a refusal takes the retries for a held file, one position: the last, after all others.
            for (std::size_t failing = RefusalIsImmediate ? 0 : files.size() - 1; failing < files.size(); ++failing)
            {
                SCOPED_TRACE("failing at " + files[failing]);
                fs::remove_all(Staging());
                fs::remove_all(Installed("bin"));
                fs::remove_all(Installed("new"));
                for (std::size_t i = 0; i < files.size(); ++i)
                {
                    WriteFile(Staged(files[i]), "new " + files[i]);
                    if (i % 2 == 0 || i == failing)
                    {
                        WriteFile(Installed(files[i]), "old " + files[i]);
                    }
                }
                const auto installedBefore = Snapshot(Dir());
                std::unique_ptr<HeldFile> refused = RefuseReplacement(Installed(files[failing]));
                ASSERT_NE(refused, nullptr) << "no way to make a file unreplaceable here";

                const std::string logText = Apply();
                refused.reset();

                EXPECT_THAT(logText, HasSubstr("File:./self_update" + Separator +
                                               fs::path(files[failing]).make_preferred().string() + ". Err: "));
                EXPECT_THAT(logText, Not(HasSubstr("could not be restored")));
                EXPECT_EQ(Snapshot(Dir()), installedBefore);
            }
        }

        TEST_F(UpdateTreeTest, MissingStagingTreeIsReportedLikeACopyFailure)
        {
            EXPECT_THAT(Apply(), StartsWith("Unable to copy update files. Aborting application. "
                                            "File:./self_update. Err: "));
        }

        TEST_F(UpdateTreeTest, FileThatWouldLandInTheStagingTreeIsRefusedBeforeAnyCopy)
        {
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Staged(Protocol::StagingFolderName) / "b.txt", "lost with the staging tree");
            WriteFile(Installed("a.txt"), "old");

            EXPECT_THAT(Apply(), HasSubstr(Protocol::StagingFolderName + Separator + "b.txt. Err: "));
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
        }

        TEST_F(UpdateTreeTest, RemovalDeletesTheWholeTreeAndAMissingTreeIsNoError)
        {
            WriteFile(Staged("bin/core.dll"), "x");
            WriteFile(Staged(Protocol::UpdaterFileName), "x");
            fs::create_directories(Staged("empty"));
            fs::permissions(Staged("bin/core.dll"), fs::perms::owner_read, fs::perm_options::replace);
            const Update::NativeString staging = Update::FromAscii(Protocol::StagingFolder);

            EXPECT_FALSE(Update::RemoveTree(Update::SystemFileSystem(), staging));
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_FALSE(Update::RemoveTree(Update::SystemFileSystem(), staging));
        }

        // The engine's errors carry no text; the report makes it, with the launcher's names for paths.
        TEST(UpdateReportTest, EveryReasonGetsTheCopyFailureTextsWithItsOwnWords)
        {
            using Update::ApplyReason;
            using Update::ApplyStep;
            const std::string staged = "./self_update" + Separator + "bin" + Separator + "core.dll";
            struct Row
            {
                ApplyStep step;
                ApplyReason reason;
                std::string expected;
            };
            const std::vector<Row> rows = {
                {ApplyStep::InstallEntry, ApplyReason::LeadsOutside,
                 "File:" + staged + ". Err: The staged file leads outside the update folder."},
                {ApplyStep::ReadStaging, ApplyReason::LandsInStaging,
                 "File:" + staged + ". Err: The staged file would be installed inside the update folder."},
                {ApplyStep::ReadStaging, ApplyReason::TargetIsFolder,
                 "File:" + staged + ". Err: A folder of the installation is in the way."},
                {ApplyStep::ReadStaging, ApplyReason::NamesCollide,
                 "File:" + staged + ". Err: Two staged names are one name in the installation: ./self_update" +
                     Separator + "BIN" + Separator + "CORE.DLL and " + staged + "."},
                {ApplyStep::ReadStaging, ApplyReason::OwnLog,
                 "File:" + staged +
                     ". Err: The staged file would replace the updater's own log, which an update never installs."},
                {ApplyStep::ReadStaging, ApplyReason::ShortName,
                 "File:" + staged + ". Err: The staged name is a short name of another file of the installation: " +
                     Update::SystemFileSystem().DisplayPath(Update::FromAscii("/installation/CORE-DLL.LONG")) + "."},
                {ApplyStep::ReadStaging, ApplyReason::StagedFileLost,
                 "File:" + staged +
                     ". Err: The staged file went missing after an interrupted update. Stage the update again."},
            };
            for (const Row& row : rows)
            {
                Update::ApplyError error;
                error.step = row.step;
                error.reason = row.reason;
                error.path = fs::path("bin/core.dll").make_preferred().native();
                error.otherPath = fs::path("BIN/CORE.DLL").make_preferred().native();
                if (row.reason == ApplyReason::ShortName)
                {
                    error.otherPlace = Update::PathPlace::FileSystem;
                    error.otherPath = Update::FromAscii("/installation/CORE-DLL.LONG");
                }
                const FailureReport report = DescribeFailure(error, {}, Update::SystemFileSystem());
                EXPECT_EQ(BoxText(report), "Error: Unable to copy update files. Aborting application.");
                EXPECT_EQ(LogText(report), "Unable to copy update files. Aborting application. " + row.expected);
            }
            // A folder the update needs is reported as the folder, absolute, in the directory text.
            Update::ApplyError folder;
            folder.step = ApplyStep::MakeFolder;
            folder.code = std::make_error_code(std::errc::not_a_directory);
            folder.place = Update::PathPlace::FileSystem;
            folder.path = Update::FromAscii("/somewhere/bin");
            EXPECT_THAT(LogText(DescribeFailure(folder, {}, Update::SystemFileSystem())),
                        StartsWith("Unable to create directory. Aborting application. Director:/somewhere/bin. Err: "));
            // What an undo had to leave is said after the error, with the way out.
            const Update::Notes notes = {
                {Update::RecoveryNote::Kind::OldVersionGone, Update::FromAscii("/i/a.dll"), {}},
                {Update::RecoveryNote::Kind::WorkingFileKept, Update::FromAscii("/i/b"), {}}};
            EXPECT_THAT(
                LogText(DescribeFailure(folder, notes, Update::SystemFileSystem())),
                HasSubstr(" Left as it was after an interrupted update: /i/a.dll (its replaced version is gone, "
                          "the new one stays). Starting the updater with the update staged again makes the "
                          "installation whole."));
        }

        TEST(UpdateTextTest, InvalidTextBecomesReplacementCharacters)
        {
            EXPECT_EQ(SanitizeUtf8("plain/ü/€/😀"), "plain/ü/€/😀");
            EXPECT_EQ(SanitizeUtf8("a\xFF"
                                   "b"),
                      "a\xEF\xBF\xBD"
                      "b");
            // How many U+FFFD an ill-formed sequence gives is the platform converter's choice; what
            // matters is that the bad bytes are gone and the result is well-formed.
            for (const std::string bad : {"\xC0\xAF", "\xED\xA0\x80", "end\xE2\x82", "\xF4\x90\x80\x80"})
            {
                const std::string text = SanitizeUtf8(bad);
                EXPECT_NE(text.find("\xEF\xBF\xBD"), std::string::npos) << text;
                EXPECT_EQ(SanitizeUtf8(text), text);
            }
        }
    }
}
