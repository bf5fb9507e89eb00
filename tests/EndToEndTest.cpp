// Runs the real QORLauncherUpdater.exe and QORLauncher.exe in temporary installations.

#include "InstallationTest.h"

#include <qor/Utility/Utility.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

namespace QOR::Testing
{
    namespace
    {
        using namespace std::chrono_literals;
        using ::testing::HasSubstr;
        using ::testing::IsEmpty;
        using ::testing::Not;
        using ::testing::StartsWith;

        const std::string Separator{static_cast<char>(fs::path::preferred_separator)};

        class EndToEndTest : public InstallationTest
        {
        protected:
            // `earlierStarts`: how many launcher starts are recorded already.
            TestProcess StartHoldingLauncher(int seconds, std::size_t earlierStarts = 0)
            {
                TestProcess launcher(Installed(Protocol::LauncherFileName), {"--hold", std::to_string(seconds)}, Dir());
                EXPECT_TRUE(WaitForLauncherStarts(earlierStarts + 1)) << "the launcher did not start";
                return launcher;
            }
        };

        TEST_F(EndToEndTest, SuccessAppliesTheTreeRemovesItAndRestartsTheLauncherWithoutLogging)
        {
            WriteFile(Staged("root.txt"), "root new");
            WriteFile(Staged("bin/core.dll"), "core new");
            WriteFile(Staged("bin/plugins/new.dll"), "plugin");
            WriteFile(Staged(Protocol::UpdaterFileName), "staged updater");
            WriteFile(Staged("bin") / Protocol::UpdaterFileName, "nested updater");
            fs::create_directories(Staged("empty"));
            WriteFile(Installed("root.txt"), "root old");
            WriteFile(Installed("bin/core.dll"), "core old");
            WriteFile(Installed("settings.cfg"), "player settings");
            const std::string updater = ReadFile(Installed(Protocol::UpdaterFileName));

            EXPECT_EQ(RunUpdater(), 0);

            EXPECT_EQ(ReadFile(Installed("root.txt")), "root new");
            EXPECT_EQ(ReadFile(Installed("bin/core.dll")), "core new");
            EXPECT_EQ(ReadFile(Installed("bin/plugins/new.dll")), "plugin");
            EXPECT_EQ(ReadFile(Installed("settings.cfg")), "player settings");
            EXPECT_EQ(ReadFile(Installed(Protocol::UpdaterFileName)), updater);
            EXPECT_FALSE(fs::exists(Installed("bin") / Protocol::UpdaterFileName));
            EXPECT_FALSE(fs::exists(Installed("empty")));
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
            EXPECT_THAT(Log(), IsEmpty());

            ASSERT_TRUE(WaitForLauncherStarts(1));
            const std::string start = LauncherStarts().front();
            const std::string suffix = " args=0";
            ASSERT_GT(start.size(), suffix.size() + 4);
            EXPECT_EQ(start.substr(start.size() - suffix.size()), suffix);
            const std::string cwd = start.substr(4, start.size() - 4 - suffix.size());
            EXPECT_TRUE(fs::equivalent(fs::path(std::u8string(cwd.begin(), cwd.end())), Dir())) << start;
        }

        TEST_F(EndToEndTest, SecondInstanceStopsAtOnceWithoutTouchingAnything)
        {
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");
            const MutexResult first = CreateNamedMutex(Protocol::UpdaterMutexName);
            ASSERT_TRUE(first.mutex) << first.error.GetText();

            EXPECT_EQ(RunUpdater(), 1);

            EXPECT_EQ(LoggedMessage(), "Only one instance of LauncherUpdater can work. Aborting application.");
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_EQ(ReadFile(Staged("a.txt")), "new");
            EXPECT_FALSE(fs::exists(Installed("launcher_started.txt")));
        }

        // Waits the whole nine seconds: the only test that does.
        TEST_F(EndToEndTest, LauncherRunningThroughoutTheWaitFailsWithoutTouchingTheInstallation)
        {
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");
            TestProcess launcher = StartHoldingLauncher(120);

            const auto started = std::chrono::steady_clock::now();
            EXPECT_EQ(RunUpdater(), 1);
            EXPECT_GE(std::chrono::steady_clock::now() - started, 8s) << "gave up on the launcher too early";

            EXPECT_EQ(LoggedMessage(), "Unable to start QORLauncherUpdater while QORLauncher is already running. "
                                       "Aborting application.");
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_EQ(ReadFile(Staged("a.txt")), "new");
            EXPECT_EQ(LauncherStarts().size(), 1U);
            launcher.Kill();
        }

        // However the launcher ends while the updater waits (killed, it leaves its mutex abandoned on
        // Windows), the update goes on and the launcher is started again.
        TEST_F(EndToEndTest, LauncherEndingDuringTheWaitLetsTheUpdateGoOn)
        {
            for (const bool bIsKilled : {false, true})
            {
                SCOPED_TRACE(bIsKilled ? "killed" : "exited");
                const std::string content = bIsKilled ? "newer" : "new";
                WriteFile(Staged("a.txt"), content);
                const std::size_t starts = LauncherStarts().size();
                TestProcess launcher = StartHoldingLauncher(bIsKilled ? 120 : 2, starts);
                TestProcess updater = StartUpdater();
                if (bIsKilled)
                {
                    std::this_thread::sleep_for(2s);
                    launcher.Kill();
                }

                EXPECT_EQ(updater.Wait(90s), std::optional<int>(0));

                EXPECT_EQ(ReadFile(Installed("a.txt")), content);
                EXPECT_THAT(Log(), IsEmpty());
                EXPECT_TRUE(WaitForLauncherStarts(starts + 2));
                if (!bIsKilled)
                {
                    EXPECT_EQ(launcher.Wait(30s), std::optional<int>(0));
                }
                // The started launcher ends at once; the next round's launcher needs the name.
                EXPECT_TRUE(WaitForNamedMutexFree(Protocol::LauncherMutexName, 30s));
            }
        }

        TEST_F(EndToEndTest, MissingLauncherFailsAfterTheUpdateWithTheLaunchErrorAppended)
        {
            WriteFile(Staged("a.txt"), "new");
            fs::remove(Installed(Protocol::LauncherFileName));

            EXPECT_EQ(RunUpdater(), 1);

            EXPECT_EQ(LoggedMessage(), "Unable to launch QORLauncher.exe.Unable to create process. WinAPI Error: 2");
            EXPECT_EQ(ReadFile(Installed("a.txt")), "new");
            EXPECT_FALSE(fs::exists(Staging()));
        }

        TEST_F(EndToEndTest, ParentDirectoryThatCannotBeMadeFailsAndKeepsTheStagingTree)
        {
            WriteFile(Staged("bin/core.dll"), "new");
            WriteFile(Installed("bin"), "a file in the way");

            EXPECT_EQ(RunUpdater(), 1);

            const std::string message = LoggedMessage();
            EXPECT_THAT(message, StartsWith("Unable to create directory. Aborting application. Director:"));
            EXPECT_THAT(message, HasSubstr("bin. Err: "));
            EXPECT_EQ(ReadFile(Staged("bin/core.dll")), "new");
            EXPECT_FALSE(fs::exists(Installed("launcher_started.txt")));
        }

        TEST_F(EndToEndTest, FileThatCannotBeReplacedFailsNamingTheStagedPath)
        {
            WriteFile(Staged("bin/core.dll"), "new");
            WriteFile(Installed("bin/core.dll/core.dll/keep"), "keep");

            EXPECT_EQ(RunUpdater(), 1);

            EXPECT_THAT(LoggedMessage(), StartsWith("Unable to copy update files. Aborting application. "
                                                    "File:./self_update" +
                                                    Separator + "bin" + Separator + "core.dll. Err: "));
            EXPECT_EQ(ReadFile(Staged("bin/core.dll")), "new");
            EXPECT_FALSE(fs::exists(Installed("launcher_started.txt")));
        }

        // The running updater writes its log: a staged log is refused at once rather than waited for (on
        // Windows the open log is held) or installed under the updater's feet (Linux).
        TEST_F(EndToEndTest, StagedLogOfTheUpdaterIsRefusedBeforeAnyChange)
        {
            const fs::path log = fs::path(Protocol::LogFolderName) / Protocol::LogFileName;
            WriteFile(Staged(log), "a log from elsewhere");
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");

            EXPECT_EQ(RunUpdater(), 1);

            EXPECT_EQ(LoggedMessage(), "Unable to copy update files. Aborting application. File:./self_update" +
                                           Separator + log.string() +
                                           ". Err: The staged file would replace the updater's own log, which an "
                                           "update never installs.");
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_EQ(ReadFile(Staged(log)), "a log from elsewhere");
            EXPECT_FALSE(fs::exists(Installed("launcher_started.txt")));
        }

        // A scanner or a program that is just ending holds a file for a moment: the update waits for it.
        TEST_F(EndToEndTest, TargetHeldForAMomentIsWaitedForAndReplaced)
        {
            WriteFile(Staged("bin/core.dll"), "new");
            WriteFile(Staged("bin/other.dll"), "other new");
            WriteFile(Installed("bin/core.dll"), "old");
            std::unique_ptr<HeldFile> held = HoldFileWithoutSharing(Installed("bin/core.dll"));
            if (!held)
            {
                GTEST_SKIP() << "files cannot be held against replacement on this system";
            }
            std::thread release([&held] {
                std::this_thread::sleep_for(3s);
                held.reset();
            });

            const int code = RunUpdater();
            release.join();

            EXPECT_EQ(code, 0);
            EXPECT_EQ(ReadFile(Installed("bin/core.dll")), "new");
            EXPECT_EQ(ReadFile(Installed("bin/other.dll")), "other new");
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
            EXPECT_THAT(Log(), IsEmpty());
        }

        // Held for good: after its retries the update fails and everything is as it was.
        TEST_F(EndToEndTest, TargetHeldOpenByAnotherProgramFailsAndStaysWhole)
        {
            WriteFile(Staged("a.txt"), "a new");
            WriteFile(Installed("a.txt"), "a old");
            WriteFile(Staged("bin/core.dll"), "new");
            WriteFile(Installed("bin/core.dll"), "old");
            const auto before = Snapshot(Dir());
            std::unique_ptr<HeldFile> held = HoldFileWithoutSharing(Installed("bin/core.dll"));
            if (!held)
            {
                GTEST_SKIP() << "files cannot be held against replacement on this system";
            }

            EXPECT_EQ(RunUpdater(), 1);
            held.reset();

            EXPECT_THAT(LoggedMessage(), HasSubstr("File:./self_update\\bin\\core.dll. Err: "));
            fs::remove_all(Installed(Protocol::LogFolderName));
            EXPECT_TRUE(Snapshot(Dir()) == before)
                << "the installation or the staging tree changed:" << SnapshotDifference(Snapshot(Dir()), before);
            EXPECT_FALSE(fs::exists(Installed("launcher_started.txt")));
        }

        // Deep installations under long user profiles: a staged path of 300 characters installs.
        TEST_F(EndToEndTest, PathsLongerThanTheOldLimitInstall)
        {
            std::string relative = "core.dll";
            while (Staged(relative).string().size() < 300)
            {
                relative = std::string(40, static_cast<char>('a' + relative.size() % 26)) + "/" + relative;
            }
            const fs::path staged = LongForm(Staged(relative));
            const fs::path installed = LongForm(Installed(relative));
            ASSERT_GE(Staged(relative).string().size(), 300U);
            WriteFile(staged, "deep new");
            WriteFile(LongForm(Installed(relative + ".cfg")), "deep old config");
            WriteFile(staged.string() + ".cfg", "deep new config");

            EXPECT_EQ(RunUpdater(), 0);

            EXPECT_EQ(ReadFile(installed), "deep new");
            EXPECT_EQ(ReadFile(LongForm(Installed(relative + ".cfg"))), "deep new config");
            EXPECT_FALSE(fs::exists(LongForm(Staging())));
            EXPECT_THAT(Log(), IsEmpty());
        }

        // The installation itself lies deep, under a long user profile: its log lies beyond the old
        // limit and still receives the failure.
        TEST_F(EndToEndTest, DeepInstallationUpdatesAndLogsBeyondTheOldLimit)
        {
            // As deep as a program can still be started from (its path below 260 characters), so that
            // the log file and the staged files lie beyond.
            constexpr std::size_t Depth = 236;
            fs::path deep = Dir();
            while (deep.string().size() < Depth)
            {
                deep /= std::string(std::min<std::size_t>(40, Depth - deep.string().size() - 1), 'd');
            }
            ASSERT_EQ(deep.string().size(), Depth);
            fs::create_directories(LongForm(deep));
            const fs::path staging = deep / Protocol::StagingFolderName;
            const fs::path log = deep / Protocol::LogFolderName / Protocol::LogFileName;
            fs::copy_file(Installed(Protocol::UpdaterFileName), LongForm(deep / Protocol::UpdaterFileName));
            fs::copy_file(Installed(Protocol::LauncherFileName), LongForm(deep / Protocol::LauncherFileName));
            WriteFile(LongForm(staging / "bin/core.dll"), "new");
            WriteFile(LongForm(deep / "bin/core.dll"), "old");
            const auto run = [&] {
                TestProcess updater(deep / Protocol::UpdaterFileName, {}, deep);
                return updater.Wait(90s).value_or(-1);
            };

            EXPECT_EQ(run(), 0);
            EXPECT_EQ(ReadFile(LongForm(deep / "bin/core.dll")), "new");
            EXPECT_FALSE(fs::exists(LongForm(staging)));

            // The target is a folder holding a folder of the file's name: the update fails, and says so.
            WriteFile(LongForm(staging / "data.pak"), "pak");
            fs::create_directories(LongForm(deep / "data.pak/data.pak/inner"));

            EXPECT_EQ(run(), 1);
            ASSERT_GT(log.string().size(), 260U);
            EXPECT_THAT(OnlyLogRecord(ReadFile(LongForm(log)))["message"],
                        StartsWith("Unable to copy update files. Aborting application. File:./self_update" + Separator +
                                   "data.pak. Err: "));
            EXPECT_EQ(ReadFile(LongForm(staging / "data.pak")), "pak");
        }

        // Nothing to install: the staging tree is removed where it is, and a failure to remove it is shown
        // in a box but neither logged nor stops the relaunch.
        TEST_F(EndToEndTest, StagingTreeThatCannotBeRemovedIsReportedAndTheLauncherStillStarts)
        {
            const fs::path unremovable = Staged("sub") / Protocol::UpdaterFileName;
            WriteFile(unremovable, "never copied, never opened");
            const std::unique_ptr<HeldFile> held = PreventRemoval(unremovable);
            if (!held)
            {
                GTEST_SKIP() << "no way to make a file unremovable here (superuser without the immutable flag)";
            }

            EXPECT_EQ(RunUpdater(), 0);

            EXPECT_TRUE(fs::exists(unremovable));
            EXPECT_THAT(Log(), IsEmpty());
            EXPECT_TRUE(WaitForLauncherStarts(1));
        }

        // An update that installed files has taken the staging tree into its working folder; what cannot be
        // removed after the relaunch stays there with the run's record, renamed so that the launcher's rule
        // does not start the updater for it (which would start the launcher, which would start it again),
        // and the next update's run removes it.
        TEST_F(EndToEndTest, LeftoversThatCannotBeRemovedYetAreRemovedByTheNextRun)
        {
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");
            const fs::path unremovable = Staged("sub") / Protocol::UpdaterFileName;
            WriteFile(unremovable, "never installed");
            std::unique_ptr<HeldFile> held = PreventRemoval(unremovable);
            if (!held)
            {
                GTEST_SKIP() << "no way to make a file unremovable here (superuser without the immutable flag)";
            }

            EXPECT_EQ(RunUpdater(), 0);
            EXPECT_EQ(ReadFile(Installed("a.txt")), "new");
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), Not(IsEmpty()));
            EXPECT_FALSE(IsUpdatePending(Dir()));
            EXPECT_THAT(Log(), IsEmpty());
            EXPECT_TRUE(WaitForLauncherStarts(1));

            held.reset();
            WriteFile(Staged("b.txt"), "next update");
            EXPECT_EQ(RunUpdater(), 0);
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
            EXPECT_EQ(ReadFile(Installed("a.txt")), "new");
            EXPECT_EQ(ReadFile(Installed("b.txt")), "next update");
            EXPECT_THAT(Log(), IsEmpty());
        }

        // The updater lets go of its lock the moment it starts the launcher, while it still deletes the
        // files it replaced: a launcher that stages a follow-up update at once and starts the updater again
        // gets it applied, not "Only one instance".
        TEST_F(EndToEndTest, AFollowUpUpdateStartedRightAfterTheRelaunchIsApplied)
        {
            fs::remove(Installed(Protocol::LauncherFileName));
            fs::copy_file(QOR_CHAIN_LAUNCHER_EXE, Installed(Protocol::LauncherFileName));
            // Many replaced files, so that deleting the kept old ones takes a while after the relaunch.
            for (int i = 0; i < 400; ++i)
            {
                const std::string name = "data/file" + std::to_string(i) + ".dat";
                WriteFile(Installed(name), "version 1 " + name);
                WriteFile(Staged(name), "version 2 " + name);
                WriteFile(Installed("chain/next") / name, "version 3 " + name);
            }

            EXPECT_EQ(RunUpdater(), 0);

            // The launcher it started staged version 3 and started the updater, which started it again.
            EXPECT_TRUE(WaitForLauncherStarts(2));
            EXPECT_TRUE(WaitUntil([&] { return !IsUpdatePending(Dir()) && LeftoverTemporaries(Dir()).empty(); },
                                  std::chrono::seconds(60)));
            for (int i = 0; i < 400; ++i)
            {
                const std::string name = "data/file" + std::to_string(i) + ".dat";
                EXPECT_EQ(ReadFile(Installed(name)), "version 3 " + name);
            }
            EXPECT_THAT(Log(), IsEmpty());
            EXPECT_EQ(LauncherStarts().size(), 2U);
        }

        TEST_F(EndToEndTest, KilledRunsLeaveWholeFilesAndARerunFinishesTheUpdate)
        {
            const std::size_t size = 48u << 20;
            const std::vector<std::string> names = {"big1.pak", "bin/big2.pak", "bin/small.dll", "z.txt"};
            for (const std::string& name : names)
            {
                const std::size_t length = name.find("big") != std::string::npos ? size : 1000;
                WriteFile(Staged(name), std::string(length, 'N'));
                WriteFile(Installed(name), std::string(length / 2, 'O'));
            }
            std::mt19937 random(std::random_device{}());
            for (int round = 0; round < 4; ++round)
            {
                TestProcess updater = StartUpdater();
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 600)(random)));
                updater.Kill();
                for (const std::string& name : names)
                {
                    const std::size_t length = name.find("big") != std::string::npos ? size : 1000;
                    const std::string content = ReadFile(Installed(name));
                    const bool whole = content == std::string(length, 'N') || content == std::string(length / 2, 'O');
                    EXPECT_TRUE(whole) << name << " after round " << round;
                }
                if (!IsUpdatePending(Dir()))
                {
                    break;
                }
            }

            if (IsUpdatePending(Dir()))
            {
                EXPECT_EQ(RunUpdater(), 0);
            }
            for (const std::string& name : names)
            {
                EXPECT_EQ(ReadFile(Installed(name)),
                          std::string(name.find("big") != std::string::npos ? size : 1000, 'N'))
                    << name;
            }
            EXPECT_FALSE(fs::exists(Staging()));
            // A kill between the removal of a finished run's record and of its folder leaves the folder
            // empty, which the launcher's rule does not see; the next run, whatever it does, takes it away.
            const std::vector<std::string> left = LeftoverTemporaries(Dir());
            for (const std::string& name : left)
            {
                EXPECT_TRUE(fs::is_empty(Installed(name))) << name << ": " << ::testing::PrintToString(ListTree(Dir()));
            }
            if (!left.empty())
            {
                (void)RunUpdater();
            }
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
        }
    }
}
