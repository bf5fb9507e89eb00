// What the planner refuses of staged names before any change, and what it installs: names the installation
// takes for one, the updater's own log, short names of other installed entries; and staged links as Wine
// shows them (a copy of their content, never removable afterwards). Each row is a staged tree met by one run.

#include "MemoryFileSystem.h"

#include <apply/Apply.h>

#include <qor/Utility/LauncherProtocol.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

namespace QOR::Testing
{
    namespace
    {
        namespace Protocol = LauncherProtocol;
        using Update::ApplyReason;

        const std::string Log = std::string(Protocol::LogFolderName) + "/" + Protocol::LogFileName;

        const TreeDump Installation = {
            {"QORLauncherUpdater.exe", "running updater"},
            {"QORLauncher.exe", "launcher"},
            {"binaries/core.dll", "core old"},
            {Log, "the updater's log"},
        };

        struct Outcome
        {
            Update::ApplyResult failure;
            bool bIsStagingLeft = false;
        };

        Outcome RunOnce(MemoryFileSystem& fs)
        {
            Update::ApplySettings settings;
            settings.planner.updaterName = Update::FromAscii(Protocol::UpdaterFileName);
            settings.planner.updaterId = fs.IdOf(Protocol::UpdaterFileName);
            settings.planner.logPath = fs.PathOf(Log).substr(fs.PathOf("").size() + 1);
            settings.sleep = [](std::chrono::milliseconds) {};
            Update::UpdateRun run(fs, settings);
            Outcome outcome;
            outcome.failure = run.Apply();
            outcome.bIsStagingLeft = run.IsStagingLeft();
            (void)run.CleanUp();
            return outcome;
        }

        std::string Native(const std::string& relative)
        {
            return std::filesystem::path(relative).make_preferred().string();
        }

        TreeDump Staged(const TreeDump& version)
        {
            TreeDump staged;
            for (const auto& [path, item] : version)
            {
                staged.emplace(std::string(Protocol::StagingFolderName) + "/" + path, item);
            }
            return staged;
        }

        // Builds the installation with `staged` in its staging folder.
        void BuildWithStaged(MemoryFileSystem& fs, const TreeDump& staged)
        {
            TreeDump tree = Installation;
            tree.merge(Staged(staged));
            fs.Build(tree);
        }

        TreeDump Installed(TreeDump base, const TreeDump& version)
        {
            for (const auto& [path, item] : version)
            {
                base[path] = item;
            }
            return WithImpliedFolders(base);
        }

        struct Row
        {
            const char* name;
            TreeDump staged;
            bool bIsCaseInsensitive;
            ApplyReason reason; // System: the update is installed
            std::string path;   // the refused staged path ('/'-separated)
            std::string other;  // what it is refused for: the other staged name, or the installed file
        };

        // One run on `fs`: a refused tree leaves installation and staging folder exactly as they were; an
        // accepted one is installed whole, each name as staged.
        void ExpectOutcome(const Row& row, MemoryFileSystem& fs)
        {
            const TreeDump before = fs.Dump();
            const Outcome outcome = RunOnce(fs);
            if (row.reason == ApplyReason::System)
            {
                EXPECT_FALSE(outcome.failure) << Update::ToUtf8(outcome.failure->path);
                EXPECT_EQ(fs.Dump(), Installed(Installation, row.staged));
                return;
            }
            ASSERT_TRUE(outcome.failure);
            EXPECT_EQ(outcome.failure->step, Update::ApplyStep::ReadStaging);
            EXPECT_EQ(outcome.failure->reason, row.reason);
            EXPECT_EQ(Update::ToUtf8(outcome.failure->path), Native(row.path));
            const std::string other = Update::ToUtf8(outcome.failure->otherPath);
            if (row.reason == ApplyReason::ShortName)
            {
                EXPECT_EQ(other, Update::ToUtf8(fs.PathOf(row.other)));
            }
            else
            {
                EXPECT_EQ(other, row.other.empty() ? "" : Native(row.other));
            }
            EXPECT_EQ(fs.Dump(), before);
        }

        // The row's machine, its names as case-insensitive as the row says from the start.
        void BuildAsTheRowSays(MemoryFileSystem& fs, const Row& row)
        {
            fs.SetCaseInsensitive(row.bIsCaseInsensitive);
            BuildWithStaged(fs, row.staged);
        }

        // Each row met by one run, on a machine of its own made by `build`.
        void ExpectOutcomes(const std::vector<Row>& rows,
                            const std::function<void(MemoryFileSystem&, const Row&)>& build = BuildAsTheRowSays)
        {
            for (const Row& row : rows)
            {
                SCOPED_TRACE(row.name);
                MemoryFileSystem fs;
                build(fs, row);
                ExpectOutcome(row, fs);
            }
        }

        // The staged tree is built with case-sensitive names, as a tree staged by tools on Linux is, and seen
        // as Windows (or Wine on that Linux folder) sees it: one name where the case differs.
        TEST(StagedNamesTest, NamesTheInstallationTakesForOneAreRefusedBeforeAnyChange)
        {
            const std::vector<Row> rows = {
                {"two files",
                 {{"a.txt", "lower"}, {"A.TXT", "upper"}},
                 true,
                 ApplyReason::NamesCollide,
                 "a.txt",
                 "A.TXT"},
                {"two folders",
                 {{"Lib/x.dll", "x"}, {"lib/y.dll", "y"}},
                 true,
                 ApplyReason::NamesCollide,
                 "lib",
                 "Lib"},
                {"deep in a folder the installation has",
                 {{"binaries/Sub/a", "a"}, {"binaries/sub/b", "b"}, {"binaries/core.dll", "core new"}},
                 true,
                 ApplyReason::NamesCollide,
                 "binaries/sub",
                 "binaries/Sub"},
                {"a file and a folder",
                 {{"DATA/x", "x"}, {"data", "a file"}},
                 true,
                 ApplyReason::NamesCollide,
                 "data",
                 "DATA"},
                {"the same names, byte for byte on Linux",
                 {{"a.txt", "lower"}, {"A.TXT", "upper"}, {"Lib/x.dll", "x"}, {"lib/y.dll", "y"}},
                 false,
                 ApplyReason::System,
                 "",
                 ""},
            };
            ExpectOutcomes(rows, [](MemoryFileSystem& fs, const Row& row) {
                fs.SetCaseInsensitive(false);
                BuildWithStaged(fs, row.staged);
                fs.SetCaseInsensitive(row.bIsCaseInsensitive);
            });
        }

        // The updater holds its log open for the whole run: a staged log is refused, compared as the file system
        // compares names; the rotated copies are ordinary files.
        TEST(StagedNamesTest, TheUpdatersOwnLogIsRefusedAndItsRotatedCopiesInstall)
        {
            const std::vector<Row> rows = {
                {"the log", {{Log, "x"}, {"QORLauncher.exe", "new"}}, true, ApplyReason::OwnLog, Log, ""},
                {"the log, byte for byte", {{Log, "x"}}, false, ApplyReason::OwnLog, Log, ""},
                {"the log in other case",
                 {{"LOG/Self_Updater_Log.TXT", "x"}},
                 true,
                 ApplyReason::OwnLog,
                 "LOG/Self_Updater_Log.TXT",
                 ""},
                {"another file named so, byte for byte",
                 {{"Log/self_updater_log.txt", "x"}},
                 false,
                 ApplyReason::System,
                 "",
                 ""},
                {"a rotated copy", {{"log/self_updater_log.1.txt", "old lines"}}, true, ApplyReason::System, "", ""},
            };
            ExpectOutcomes(rows);
        }

        // A short name reaches the entry it belongs to: staged, it would replace that entry under another
        // name. The running updater reached so is skipped, as by any other name of it; a short-looking name
        // that is no other entry's is a name like any other.
        TEST(StagedNamesTest, AShortNameOfAnotherInstalledEntryIsRefusedBeforeAnyChange)
        {
            const std::vector<Row> rows = {
                {"the launcher's",
                 {{"QORLAU~1.EXE", "not the launcher"}},
                 true,
                 ApplyReason::ShortName,
                 "QORLAU~1.EXE",
                 "QORLauncher.exe"},
                {"in other case",
                 {{"qorlau~1.exe", "not the launcher"}},
                 true,
                 ApplyReason::ShortName,
                 "qorlau~1.exe",
                 "QORLauncher.exe"},
                {"an installed folder's",
                 {{"BINARI~1/core.dll", "core new"}},
                 true,
                 ApplyReason::ShortName,
                 "BINARI~1",
                 "binaries"},
                {"no other entry's", {{"QORLAU~3.EXE", "new"}}, true, ApplyReason::System, "", ""},
                {"byte for byte on Linux, where there are none",
                 {{"QORLAU~1.EXE", "new"}},
                 false,
                 ApplyReason::System,
                 "",
                 ""},
            };
            ExpectOutcomes(rows, [](MemoryFileSystem& fs, const Row& row) {
                BuildAsTheRowSays(fs, row);
                if (row.bIsCaseInsensitive)
                {
                    fs.SetShortName("QORLauncher.exe", "QORLAU~1.EXE");
                    fs.SetShortName("QORLauncherUpdater.exe", "QORLAU~2.EXE");
                    fs.SetShortName("binaries", "BINARI~1");
                }
            });

            MemoryFileSystem fs;
            fs.SetCaseInsensitive(true);
            fs.Build(Installation);
            fs.SetShortName("QORLauncherUpdater.exe", "QORLAU~2.EXE");
            fs.Build(Staged({{"QORLAU~2.EXE", "new updater"}, {"readme.txt", "readme"}}));
            EXPECT_FALSE(RunOnce(fs).failure);
            EXPECT_EQ(fs.ReadFile("QORLauncherUpdater.exe"), "running updater");
            EXPECT_EQ(fs.ReadFile("readme.txt"), "readme");
        }

        // The system gives each new long name a short one as it is installed. A staged name of that form
        // ("ALPHAB~1.TXT") listed after the long name that would take it ("ALPHABETA.TXT") is installed first,
        // and the long name gets the next short name: never a run that fails on every try, nor one file
        // replacing the other.
        TEST(StagedNamesTest, AShortFormNameIsInstalledBeforeTheLongNameThatWouldTakeIt)
        {
            const std::vector<Row> rows = {
                {"two new files",
                 {{"ALPHABETA.TXT", "long"}, {"ALPHAB~1.TXT", "short form"}},
                 true,
                 ApplyReason::System,
                 "",
                 ""},
                {"in an installed folder",
                 {{"binaries/ALPHABETA.DLL", "long"}, {"binaries/ALPHAB~1.DLL", "short form"}},
                 true,
                 ApplyReason::System,
                 "",
                 ""},
                {"a new folder moving in whole",
                 {{"PLUGINFOLDER/p.dll", "p"}, {"PLUGIN~1", "short form"}},
                 true,
                 ApplyReason::System,
                 "",
                 ""},
            };
            ExpectOutcomes(rows, [](MemoryFileSystem& fs, const Row& row) {
                BuildAsTheRowSays(fs, row);
                fs.SetGeneratesShortNames(true);
            });
        }

        // Where links are not installed as links (Windows), a link's content is copied under its name, whatever
        // order the staged entries come in: the copy is made before what it leads to is moved in.
        TEST(StagedNamesTest, ALinksContentIsInstalledEvenWhenWhatItLeadsToMovesInToo)
        {
            for (const char* link : {"a.lnk", "z.lnk"})
            {
                SCOPED_TRACE(link);
                MemoryFileSystem fs;
                fs.SetSymbolicLinksSupported(false);
                fs.SetExchangeSupported(false);
                BuildWithStaged(fs, {{"m.dll", "target"},
                                     {link, TreeItem::Link("m.dll")},
                                     {"plugins/p.dll", "p"},
                                     {std::string("plugins/") + link, TreeItem::Link("../m.dll")}});

                const Outcome outcome = RunOnce(fs);

                ASSERT_FALSE(outcome.failure) << Update::ToUtf8(outcome.failure->path) << " "
                                              << outcome.failure->code.message() << fs.RecordText();
                EXPECT_EQ(fs.ReadFile(link), "target");
                EXPECT_EQ(fs.ReadFile("m.dll"), "target");
                EXPECT_EQ(fs.ReadFile(std::string("plugins/") + link), "target");
                EXPECT_TRUE(fs.NamesStartingWith(".qor-").empty());
            }
        }

        // What cannot be removed after the relaunch stays with its record, under the name the launcher's rule
        // does not see: an updater it started would only fail again and start the launcher, for ever.
        TEST(StagedNamesTest, WhatCannotBeRemovedStaysWithARecordTheLauncherDoesNotSee)
        {
            for (const bool bIsAlsoHeld : {false, true})
            {
                SCOPED_TRACE(bIsAlsoHeld ? "with a held file" : "alone");
                MemoryFileSystem fs;
                fs.SetSymbolicLinksSupported(false);
                fs.SetExchangeSupported(false);
                BuildWithStaged(fs, {{"lib/libfoo.so", TreeItem::Link("libfoo.so.2")},
                                     {"lib/libfoo.so.2", "foo"},
                                     {"z/QORLauncherUpdater.exe", "never installed"}});
                fs.SetNeverRemovable("self_update/lib/libfoo.so", true);
                if (bIsAlsoHeld)
                {
                    fs.Hold("self_update/z/QORLauncherUpdater.exe");
                }

                EXPECT_FALSE(RunOnce(fs).failure);

                EXPECT_EQ(fs.ReadFile("lib/libfoo.so"), "foo");
                EXPECT_EQ(fs.ReadFile("lib/libfoo.so.2"), "foo");
                const std::vector<std::string> left = fs.NamesStartingWith(".qor-");
                ASSERT_EQ(left.size(), 1U) << ::testing::PrintToString(fs.Dump());
                EXPECT_EQ(fs.Dump().count(left.front() + "/staging/lib/libfoo.so"), 1U);
                EXPECT_EQ(fs.Dump().count(left.front() + "/committed"), 0U);
                EXPECT_EQ(fs.Dump().count(left.front() + "/leftover"), 1U);
            }
        }
    }
}
