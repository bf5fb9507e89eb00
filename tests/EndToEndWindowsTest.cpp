// The Windows build as players meet it on a Linux file system (Proton, Wine): staged trees made by Linux
// tools, with names that differ only in case and symbolic links, installations holding such links, and the
// short names Windows and Wine give long ones. The Linux entries are made by the Linux shell Wine starts; on
// Windows itself those tests skip.

#include "InstallationTest.h"

#include <qor/Foundation/Platform_win32.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace QOR::Testing
{
    namespace
    {
        using ::testing::HasSubstr;
        using ::testing::IsEmpty;
        using ::testing::StartsWith;

        constexpr const char* CopyFailed = "Unable to copy update files. Aborting application. File:./self_update\\";

        class EndToEndWindowsTest : public InstallationTest
        {
        protected:
            // The last element of the short (8.3) name of an installed file, or empty where it has none.
            std::string ShortNameOf(const fs::path& file) const
            {
                std::wstring buffer(32768, L'\0');
                const DWORD length =
                    ::GetShortPathNameW(file.wstring().c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
                const fs::path shortPath(buffer.substr(0, length));
                if (length == 0 || shortPath.filename() == file.filename())
                {
                    return {};
                }
                return shortPath.filename().string();
            }
        };

        // Two staged names that are one name on Windows (a tree staged by Linux tools can hold both) would
        // land on one file: the update is refused before any change, naming both.
        TEST_F(EndToEndWindowsTest, NamesThatAreOneOnWindowsAreRefusedBeforeAnyChange)
        {
            const struct
            {
                const char* command;
                const char* first;
                const char* second;
            } cases[] = {
                {"mkdir -p self_update/Lib self_update/lib && echo x > self_update/Lib/x.dll && "
                 "echo y > self_update/lib/y.dll",
                 "Lib", "lib"},
                {"mkdir -p self_update && echo lower > self_update/a.txt && echo upper > self_update/A.TXT", "a.txt",
                 "A.TXT"},
            };
            for (const auto& test : cases)
            {
                SCOPED_TRACE(test.command);
                fs::remove_all(Staging());
                if (!RunLinuxShell(Dir(), test.command))
                {
                    GTEST_SKIP() << "no Linux file system under this Windows";
                }
                WriteFile(Installed("a.txt"), "installed");
                const std::vector<std::string> staged = ListTree(Staging());
                ASSERT_EQ(std::count(staged.begin(), staged.end(), test.first), 1);
                ASSERT_EQ(std::count(staged.begin(), staged.end(), test.second), 1);
                const auto before = Snapshot(Dir());

                EXPECT_EQ(RunUpdater(), 1);

                // The first name met is the one listed first, which the file system decides.
                const std::string message = LoggedMessage();
                EXPECT_THAT(message, StartsWith(CopyFailed));
                EXPECT_THAT(message, HasSubstr(". Err: Two staged names are one name in the installation: "));
                EXPECT_THAT(message, HasSubstr(std::string("./self_update\\") + test.first));
                EXPECT_THAT(message, HasSubstr(std::string("./self_update\\") + test.second));
                fs::remove_all(Installed(Protocol::LogFolderName));
                EXPECT_TRUE(Snapshot(Dir()) == before) << SnapshotDifference(Snapshot(Dir()), before);
                EXPECT_FALSE(fs::exists(Installed("launcher_started.txt")));
            }
        }

        // Wine shows a Linux symbolic link as what it leads to, without a reparse tag. One that leads out of
        // the staged tree is refused before any change, and nothing from outside is moved in; one inside has
        // its content installed under its name; one to a folder is neither entered nor installed, and what it
        // leads to is never removed with the staging folder.
        TEST_F(EndToEndWindowsTest, LinuxLinksAreRefusedWhenTheyLeadOutAndInstallTheirContentOtherwise)
        {
            TemporaryFolder outside;
            WriteFile(outside.Path() / "secret.txt", "the player's");
            fs::create_directories(outside.Path() / "empty");
            fs::create_directories(Staging() / "lib");
            const std::string secret = fs::relative(outside.Path() / "secret.txt", Staging()).generic_string();
            const std::string empty = fs::relative(outside.Path() / "empty", Staging()).generic_string();
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");
            if (!RunLinuxShell(Staging(), "ln -s " + secret + " evil.dll"))
            {
                GTEST_SKIP() << "no Linux file system under this Windows";
            }
            const auto before = Snapshot(Dir());

            EXPECT_EQ(RunUpdater(), 1);

            EXPECT_EQ(LoggedMessage(),
                      std::string(CopyFailed) + "evil.dll. Err: The staged file leads outside the update folder.");
            EXPECT_EQ(ReadFile(outside.Path() / "secret.txt"), "the player's");
            fs::remove_all(Installed(Protocol::LogFolderName));
            EXPECT_TRUE(Snapshot(Dir()) == before) << SnapshotDifference(Snapshot(Dir()), before);

            WriteFile(Staged("lib/libfoo.so.2"), "foo");
            ASSERT_TRUE(
                RunLinuxShell(Staging(), "rm evil.dll && ln -s libfoo.so.2 lib/libfoo.so && ln -s " + empty + " data"));

            EXPECT_EQ(RunUpdater(), 0);

            EXPECT_EQ(ReadFile(Installed("a.txt")), "new");
            EXPECT_EQ(ReadFile(Installed("lib/libfoo.so")), "foo");
            EXPECT_EQ(ReadFile(Installed("lib/libfoo.so.2")), "foo");
            EXPECT_FALSE(fs::exists(Installed("data")));
            EXPECT_TRUE(fs::is_directory(outside.Path() / "empty"));
            EXPECT_EQ(ReadFile(outside.Path() / "secret.txt"), "the player's");
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(Log(), IsEmpty());
            // Wine removes what a link leads to, not the link: the links stay in the run's working folder,
            // without a record, so the launcher's rule does not start the updater for them again.
            EXPECT_FALSE(IsUpdatePending(Dir()));
            EXPECT_TRUE(WaitForLauncherStarts(1));
            RunLinuxShell(Dir(), "rm -rf .qor-*");
        }

        // A Linux link of the installation itself (a game installed by Linux tools under Proton) is replaced
        // by the staged file, and what it led to is untouched. Wine cannot make links: a failed update gives
        // the old content back under the link's name as a second name of the file the link led to, and the
        // next update still replaces that name alone.
        TEST_F(EndToEndWindowsTest, AnInstalledLinuxLinkIsReplacedAndAFailedUpdateGivesItsContentBack)
        {
            fs::create_directories(Installed("lib"));
            WriteFile(Installed("lib/libfoo.so.2"), "foo old");
            if (!RunLinuxShell(Dir(), "ln -s libfoo.so.2 lib/libfoo.so"))
            {
                GTEST_SKIP() << "no Linux file system under this Windows";
            }
            WriteFile(Staged("lib/libfoo.so"), "foo new");
            WriteFile(Installed("zz/core.dll"), "core old");
            WriteFile(Staged("zz/core.dll"), "core new");
            // Held, so that the run fails; whether before or after the link's turn depends on the listing.
            std::unique_ptr<HeldFile> held = HoldFileWithoutSharing(Installed("zz/core.dll"));
            ASSERT_TRUE(held);

            EXPECT_EQ(RunUpdater(), 1);
            held.reset();

            EXPECT_EQ(ReadFile(Installed("lib/libfoo.so")), "foo old");
            EXPECT_EQ(ReadFile(Installed("lib/libfoo.so.2")), "foo old");
            EXPECT_EQ(ReadFile(Installed("zz/core.dll")), "core old");
            EXPECT_EQ(ReadFile(Staged("lib/libfoo.so")), "foo new");

            EXPECT_EQ(RunUpdater(), 0) << LoggedMessage();

            EXPECT_EQ(ReadFile(Installed("lib/libfoo.so")), "foo new");
            EXPECT_EQ(ReadFile(Installed("lib/libfoo.so.2")), "foo old");
            EXPECT_EQ(ReadFile(Installed("zz/core.dll")), "core new");
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_FALSE(IsUpdatePending(Dir()));
        }

        // A short name reaches the file it belongs to: staged, it would replace that file under another name.
        // It is refused before any change; the running updater's own short name is skipped as its name is.
        TEST_F(EndToEndWindowsTest, AShortNameOfAnotherInstalledFileIsRefusedAndTheUpdatersOwnIsSkipped)
        {
            const std::string launcherShort = ShortNameOf(Installed(Protocol::LauncherFileName));
            const std::string updaterShort = ShortNameOf(Installed(Protocol::UpdaterFileName));
            if (launcherShort.empty() || updaterShort.empty())
            {
                GTEST_SKIP() << "this volume makes no short names";
            }
            const std::string launcher = ReadFile(Installed(Protocol::LauncherFileName));
            const std::string updater = ReadFile(Installed(Protocol::UpdaterFileName));
            WriteFile(Staged(launcherShort), "not the launcher");
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");

            EXPECT_EQ(RunUpdater(), 1);

            EXPECT_THAT(LoggedMessage(),
                        StartsWith(std::string(CopyFailed) + launcherShort +
                                   ". Err: The staged name is a short name of another file of the installation: "));
            EXPECT_THAT(LoggedMessage(), HasSubstr(std::string("\\") + Protocol::LauncherFileName + "."));
            EXPECT_EQ(ReadFile(Installed(Protocol::LauncherFileName)), launcher);
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_EQ(ReadFile(Staged(launcherShort)), "not the launcher");

            fs::remove(Staged(launcherShort));
            WriteFile(Staged(updaterShort), "not the updater");

            EXPECT_EQ(RunUpdater(), 0);

            EXPECT_EQ(ReadFile(Installed(Protocol::UpdaterFileName)), updater);
            EXPECT_EQ(ReadFile(Installed("a.txt")), "new");
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
        }

        // A staged name that is the short name a new long name gets once installed: made first, it is a file
        // of its own in the staging folder, and the update installs both, each under its own name.
        TEST_F(EndToEndWindowsTest, AStagedShortFormNameAndTheLongNameThatWouldTakeItBothInstall)
        {
            const TemporaryFolder probe;
            WriteFile(probe.Path() / "ALPHABETA.TXT", "probe");
            const std::string shortForm = ShortNameOf(probe.Path() / "ALPHABETA.TXT");
            if (shortForm.empty())
            {
                GTEST_SKIP() << "this volume makes no short names";
            }
            WriteFile(Staged(shortForm), "short form");
            WriteFile(Staged("ALPHABETA.TXT"), "long");

            EXPECT_EQ(RunUpdater(), 0) << LoggedMessage();

            EXPECT_EQ(ReadFile(Installed(shortForm)), "short form");
            EXPECT_EQ(ReadFile(Installed("ALPHABETA.TXT")), "long");
            EXPECT_FALSE(fs::exists(Staging()));
        }
    }
}
