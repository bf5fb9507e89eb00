// What the engine takes for its own, and the hostile states of a player's machine met by a single run:
// each table row is a world, each row's expectations what a launcher team would want from it.

#include "MemoryFileSystem.h"

#include <apply/Apply.h>
#include <apply/JournalFormat.h>

#include <qor/Utility/LauncherProtocol.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace QOR::Testing
{
    namespace
    {
        namespace Protocol = LauncherProtocol;
        namespace Format = Update::JournalFormat;

        const std::string Work = ".qor-0123456789abcdef";

        const TreeDump Installation = {
            {"QORLauncherUpdater.exe", "running updater"},
            {"bin/core.dll", "core old"},
            {"readme.txt", "readme old"},
        };

        const TreeDump Staging = {
            {"self_update/bin/core.dll", "core new"},
            {"self_update/readme.txt", "readme new"},
        };

        const TreeDump Updated = WithImpliedFolders({
            {"QORLauncherUpdater.exe", "running updater"},
            {"bin/core.dll", "core new"},
            {"readme.txt", "readme new"},
        });

        struct Outcome
        {
            Update::ApplyResult failure;
            Update::Notes notes;
        };

        Outcome RunOnce(MemoryFileSystem& fs)
        {
            Update::ApplySettings settings;
            settings.planner.updaterName = Update::FromAscii(Protocol::UpdaterFileName);
            settings.planner.updaterId = fs.IdOf(Protocol::UpdaterFileName);
            settings.sleep = [](std::chrono::milliseconds) {};
            Update::UpdateRun run(fs, settings);
            Outcome outcome;
            outcome.failure = run.Apply();
            outcome.notes = run.GetNotes();
            (void)run.CleanUp();
            return outcome;
        }

        // A whole record of an earlier run of this program, for folder `Work`, replacing readme.txt.
        std::string EarlierRecord()
        {
            Update::UpdatePlan plan;
            plan.SetTag(0x0123456789abcdefull);
            plan.AddReplacingEntry(Update::FromAscii("readme.txt"), Update::EntryKind::File, {9, 9}, {9, 8});
            return Format::Serialize(plan);
        }

        // Nothing the updater did not make is ever removed, whatever its name; what it made is proved by its
        // record. A record that is there but cannot be read stops the run, names itself and stays.
        TEST(RecoveryTest, OnlyFoldersThatHoldTheUpdatersRecordAreItsOwn)
        {
            struct Row
            {
                const char* name;
                TreeDump planted;
                bool bIsKept;       // what was planted stays as it was
                bool bIsRunFailing; // the run stops before any change, naming the record
                std::function<void(MemoryFileSystem&)> prepare;
            };
            const std::string record = EarlierRecord();
            std::string damaged = record;
            damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 1);
            const std::vector<Row> rows = {
                {"a player's folder of that name", {{Work + "/save.dat", "the player's"}}, true, false, nullptr},
                {"a file named like a record but not one", {{Work + "/journal", "notes"}}, true, false, nullptr},
                {"a folder named like a record", {{Work + "/committed/x", "x"}}, true, false, nullptr},
                {"a file named like a working folder", {{Work, "a file"}}, true, false, nullptr},
                {"a record damaged by one byte", {{Work + "/journal", damaged}}, true, true, nullptr},
                {"a record another user owns",
                 {{Work + "/journal", record}},
                 true,
                 true,
                 [](MemoryFileSystem& fs) { fs.SetUnreadable(Work + "/journal", true); }},
                {"a record another updater is cleaning up",
                 {{Work + "/committed", record}},
                 true,
                 false,
                 [](MemoryFileSystem& fs) { fs.LockByAnother(Work + "/committed"); }},
                {"a draft cut short", {{Work + "/journal.part", record.substr(0, 5)}}, false, false, nullptr},
                {"a draft whose data a power cut lost",
                 {{Work + "/journal.part", std::string(64, '\0')}},
                 false,
                 false,
                 nullptr},
                {"an empty working folder", {{Work, TreeItem::Folder()}}, false, false, nullptr},
                {"a finished record", {{Work + "/committed", record}}, false, false, nullptr},
            };
            for (const Row& row : rows)
            {
                SCOPED_TRACE(row.name);
                MemoryFileSystem fs;
                TreeDump tree = Installation;
                tree.merge(TreeDump(Staging));
                tree.merge(TreeDump(row.planted));
                fs.Build(tree);
                if (row.prepare)
                {
                    row.prepare(fs);
                }
                const TreeDump before = fs.Dump();

                const Outcome outcome = RunOnce(fs);

                const TreeDump after = fs.Dump();
                if (row.bIsRunFailing)
                {
                    ASSERT_TRUE(outcome.failure);
                    EXPECT_EQ(outcome.failure->step, Update::ApplyStep::ReadRecord);
                    EXPECT_EQ(Update::ToUtf8(outcome.failure->path), Update::ToUtf8(fs.PathOf(Work)));
                    EXPECT_EQ(after, before);
                    continue;
                }
                EXPECT_FALSE(outcome.failure);
                for (const auto& [path, item] : WithImpliedFolders(row.planted))
                {
                    if (row.bIsKept)
                    {
                        EXPECT_TRUE(after.count(path) == 1 && after.at(path) == item) << path;
                    }
                    else
                    {
                        EXPECT_EQ(after.count(path), 0U) << path;
                    }
                }
            }
        }

        // Hostile states met by one run, on a file system like NTFS (no exchange, so a replaced file is kept
        // as a hard link): the run either installs the whole update, or fails and leaves installation and
        // staging folder exactly as they were; what it could not remove yet goes once the state is gone.
        TEST(RecoveryTest, AHostileStateFailsTheRunCleanlyOrIsWaitedFor)
        {
            struct Row
            {
                const char* name;
                std::function<void(MemoryFileSystem&)> make;
                std::function<void(MemoryFileSystem&)> undo;
                bool bIsInstalled;
            };
            const std::vector<Row> rows = {
                {"the target is a running program's image",
                 [](MemoryFileSystem& fs) { fs.SetMappedImage("bin/core.dll", true); },
                 [](MemoryFileSystem& fs) {
                     for (const std::string& path : fs.NamesStartingWith(".qor-"))
                     {
                         fs.SetMappedImage(path, false);
                     }
                     fs.SetMappedImage("bin/core.dll", false);
                 },
                 false},
                {"the target's folder is read-only", [](MemoryFileSystem& fs) { fs.SetReadOnlyFolder("bin", true); },
                 [](MemoryFileSystem& fs) { fs.SetReadOnlyFolder("bin", false); }, false},
                {"the target is held for good", [](MemoryFileSystem& fs) { fs.Hold("bin/core.dll"); },
                 [](MemoryFileSystem& fs) { fs.Release("bin/core.dll"); }, false},
                {"the target is held for a moment", [](MemoryFileSystem& fs) { fs.Hold("bin/core.dll", 3); }, nullptr,
                 true},
                {"a staged file cannot be read",
                 [](MemoryFileSystem& fs) { fs.SetUnreadable("self_update/readme.txt", true); },
                 [](MemoryFileSystem& fs) { fs.SetUnreadable("self_update/readme.txt", false); }, true},
            };
            for (const Row& row : rows)
            {
                SCOPED_TRACE(row.name);
                MemoryFileSystem fs;
                fs.SetExchangeSupported(false);
                fs.SetSymbolicLinksSupported(false);
                fs.SetCaseInsensitive(true);
                TreeDump tree = Installation;
                tree.merge(TreeDump(Staging));
                fs.Build(tree);
                row.make(fs);
                const TreeDump before = fs.Dump();

                const Outcome outcome = RunOnce(fs);

                if (row.bIsInstalled)
                {
                    EXPECT_FALSE(outcome.failure);
                    EXPECT_EQ(fs.Dump(), Updated);
                    continue;
                }
                ASSERT_TRUE(outcome.failure);
                EXPECT_EQ(outcome.failure->step, Update::ApplyStep::InstallEntry);
                EXPECT_EQ(Update::ToUtf8(outcome.failure->path),
                          "bin" + std::string(1, Update::Separator) + "core.dll");
                TreeDump after = fs.Dump();
                for (auto it = after.begin(); it != after.end();)
                {
                    it = it->first.find(".qor-") != std::string::npos ? after.erase(it) : std::next(it);
                }
                EXPECT_EQ(after, before);
                // Once the state is gone, the next run installs the update and leaves nothing of either run.
                row.undo(fs);
                EXPECT_FALSE(RunOnce(fs).failure);
                EXPECT_EQ(fs.Dump(), Updated) << fs.RecordText();
            }
        }

        // The running updater is known by its file, not only its name: on a case-insensitive file system a
        // staged "qorlauncherupdater.exe" is the running updater's own file and is never moved over it.
        TEST(RecoveryTest, TheRunningUpdaterIsNeverReplacedWhateverItsStagedName)
        {
            for (const char* staged : {"QORLauncherUpdater.exe", "qorlauncherupdater.exe", "QORLAUNCHERUPDATER.EXE"})
            {
                SCOPED_TRACE(staged);
                MemoryFileSystem fs;
                fs.SetCaseInsensitive(true);
                fs.Build({{"QORLauncherUpdater.exe", "running updater"},
                          {"self_update/" + std::string(staged), "new updater"},
                          {"self_update/readme.txt", "readme new"}});

                EXPECT_FALSE(RunOnce(fs).failure);

                EXPECT_EQ(fs.ReadFile("QORLauncherUpdater.exe"), "running updater");
                EXPECT_EQ(fs.ReadFile("readme.txt"), "readme new");
                EXPECT_TRUE(fs.NamesStartingWith(".qor-").empty());
            }
        }

        // Windows refuses to rename over a read-only file: an installed one is replaced all the same (and
        // read-only again after an undo), a staged one keeps its attribute installed and when given back.
        // With hard links the backup shares the attribute with the target; without, it is a copy.
        TEST(RecoveryTest, ReadOnlyFilesAreReplacedAndPutBackWithTheirAttribute)
        {
            for (const bool bHasHardLinks : {true, false})
            {
                for (const bool bIsTargetReadOnly : {false, true})
                {
                    for (const bool bIsStagedReadOnly : {false, true})
                    {
                        for (const bool bIsFailing : {false, true})
                        {
                            SCOPED_TRACE(std::string(bHasHardLinks ? "hard links" : "no hard links") +
                                         (bIsTargetReadOnly ? ", installed read-only" : "") +
                                         (bIsStagedReadOnly ? ", staged read-only" : "") +
                                         (bIsFailing ? ", a later file held for good" : ""));
                            MemoryFileSystem fs;
                            fs.SetExchangeSupported(false);
                            fs.SetSymbolicLinksSupported(false);
                            fs.SetCaseInsensitive(true);
                            fs.SetHardLinksSupported(bHasHardLinks);
                            const auto file = [](const char* text, bool bIsReadOnly) {
                                return bIsReadOnly ? TreeItem::ReadOnly(text) : TreeItem(text);
                            };
                            fs.Build({{"QORLauncherUpdater.exe", "running updater"},
                                      {"readme.txt", file("readme old", bIsTargetReadOnly)},
                                      {"z.dll", "z old"},
                                      {"self_update/readme.txt", file("readme new", bIsStagedReadOnly)},
                                      {"self_update/z.dll", "z new"}});
                            if (bIsFailing)
                            {
                                fs.Hold("z.dll");
                            }
                            const TreeDump before = fs.Dump();

                            const Outcome outcome = RunOnce(fs);

                            EXPECT_EQ(outcome.failure.has_value(), bIsFailing);
                            if (bIsFailing)
                            {
                                EXPECT_EQ(fs.Dump(), before) << fs.RecordText();
                                fs.Release("z.dll");
                                EXPECT_FALSE(RunOnce(fs).failure);
                            }
                            EXPECT_EQ(fs.Dump(), (TreeDump{{"QORLauncherUpdater.exe", "running updater"},
                                                           {"readme.txt", file("readme new", bIsStagedReadOnly)},
                                                           {"z.dll", "z new"}}))
                                << fs.RecordText();
                        }
                    }
                }
            }
        }
    }
}
