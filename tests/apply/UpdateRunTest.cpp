// The whole apply and its recovery on the in-memory file system, every failure, kill and power cut
// enumerated rather than sampled, on three kinds of file system: one like Linux's (exchange, hard and
// symbolic links), one like NTFS (no exchange, no symbolic links, case-insensitive names, files flushed
// one by one, read-only files) and one like FAT (no hard links, read-only files, ids that are where an
// entry stands, so a move changes them, and an exchange of two names, as Linux's vfat offers). The same
// tests run under Wine.

#include "MemoryFileSystem.h"

#include <apply/Apply.h>

#include <qor/Utility/LauncherProtocol.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <regex>
#include <string>
#include <vector>

namespace QOR::Testing
{
    namespace
    {
        namespace Protocol = LauncherProtocol;

        enum class Flavor
        {
            LinuxLike,
            NtfsLike,
            FatLike,
        };

        const char* NameOf(Flavor flavor)
        {
            switch (flavor)
            {
            case Flavor::LinuxLike:
                return "LinuxLike";
            case Flavor::NtfsLike:
                return "NtfsLike";
            case Flavor::FatLike:
                return "FatLike";
            }
            return "?";
        }

        const TreeDump Installation = {
            {"QORLauncherUpdater.exe", "running updater"},
            {"QORLauncher.exe", "launcher"},
            {"bin/core.dll", "core old"},
            {"bin/old.dll", "only installed"},
            {"data/keep.cfg", "the player's settings"},
            {"readme.txt", "readme old"},
        };

        // Replaced files, new ones, a new folder that moves in whole, a new folder made for a file beside a
        // skipped one, and the updater's own name at two depths.
        const TreeDump Version1 = {
            {"bin/core.dll", "core new"},
            {"bin/new.dll", "new dll"},
            {"plugins/deep/p.dll", "plugin"},
            {"tools/helper.dll", "helper"},
            {"tools/QORLauncherUpdater.exe", "never installed"},
            {"readme.txt", "readme new"},
            {"QORLauncherUpdater.exe", "never installed either"},
        };

        // A newer version the launcher may stage after a kill: it drops files of the first.
        const TreeDump Version2 = {
            {"bin/core.dll", "core v2"},
            {"readme.txt", "readme v2"},
            {"x.txt", "x"},
        };

        // Windows' file systems have read-only files: installed ones the update replaces (by a writable file
        // and by a read-only one), staged ones that replace a file, land in a new folder or are new.
        TreeDump InstallationFor(Flavor flavor)
        {
            TreeDump tree = Installation;
            if (flavor != Flavor::LinuxLike)
            {
                tree["readme.txt"].bIsReadOnly = true;
                tree["bin/core.dll"].bIsReadOnly = true;
            }
            return tree;
        }

        TreeDump Version1For(Flavor flavor)
        {
            TreeDump tree = Version1;
            if (flavor != Flavor::LinuxLike)
            {
                tree["bin/core.dll"].bIsReadOnly = true;
                tree["bin/new.dll"].bIsReadOnly = true;
                tree["plugins/deep/p.dll"].bIsReadOnly = true;
            }
            return tree;
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

        // What the installation holds once `version` is applied over `base`.
        TreeDump Applied(TreeDump base, const TreeDump& version)
        {
            for (const auto& [path, item] : version)
            {
                if (path.substr(path.rfind('/') + 1) != Protocol::UpdaterFileName)
                {
                    base[path] = item;
                }
            }
            return WithImpliedFolders(base);
        }

        bool IsWorkingName(const std::string& path)
        {
            return std::regex_search(path, std::regex(R"((^|/)\.qor-)"));
        }

        TreeDump WithoutWorkingFiles(const TreeDump& dump)
        {
            TreeDump kept;
            for (const auto& [path, item] : dump)
            {
                if (!IsWorkingName(path))
                {
                    kept.emplace(path, item);
                }
            }
            return kept;
        }

        // What the launcher's rule sees: ./self_update, or a working folder holding a record.
        bool UpdateIsPending(const TreeDump& dump)
        {
            const std::regex record(R"(^\.qor-[0-9a-f]{16}/(journal|committed|abandoned)$)");
            for (const auto& [path, item] : dump)
            {
                if (path == Protocol::StagingFolderName || std::regex_match(path, record))
                {
                    return true;
                }
            }
            return false;
        }

        std::string Describe(const Update::ApplyResult& failure)
        {
            if (!failure)
            {
                return "no failure";
            }
            return "step " + std::to_string(static_cast<int>(failure->step)) + ", reason " +
                   std::to_string(static_cast<int>(failure->reason)) + ", " + failure->code.message() + ", " +
                   Update::ToUtf8(failure->path) + "\n";
        }

        // Whether every working file left is one the launcher need not know about, as the update is whole
        // or was never begun: a folder without a record (empty, or with a draft cut short), or what a
        // finished run's clean-up could not remove, kept with a "leftover" record for the next update's run.
        bool OnlyRecordlessFolders(const TreeDump& dump)
        {
            const std::regex folder(R"(^(\.qor-[0-9a-f]{16})(/.*)?$)");
            const std::regex allowed(R"(^\.qor-[0-9a-f]{16}(/journal\.part)?$)");
            for (const auto& [path, item] : dump)
            {
                std::smatch match;
                if (!IsWorkingName(path) || std::regex_match(path, allowed))
                {
                    continue;
                }
                const bool bIsLeftover = std::regex_match(path, match, folder) && match[1].matched &&
                                         dump.count(match[1].str() + "/leftover") != 0;
                const bool bIsBeside = !std::regex_match(path, folder);
                if (!bIsLeftover && !bIsBeside)
                {
                    return false;
                }
                if (bIsBeside && !std::any_of(dump.begin(), dump.end(), [](const auto& entry) {
                        return entry.first.size() > 9 &&
                               entry.first.compare(entry.first.size() - 9, 9, "/leftover") == 0;
                    }))
                {
                    return false;
                }
            }
            return true;
        }

        // Whether the killed run's update counts: its record says so, or it is finished and gone.
        bool IsCommitted(const TreeDump& dump, const TreeDump& updated)
        {
            bool recorded = false;
            for (const auto& [path, item] : dump)
            {
                if (std::regex_match(path, std::regex(R"(^\.qor-[0-9a-f]{16}/committed$)")))
                {
                    return true;
                }
                recorded = recorded || std::regex_match(path, std::regex(R"(^\.qor-[0-9a-f]{16}/journal$)"));
            }
            return !recorded && dump.count(Protocol::StagingFolderName) == 0 && WithoutWorkingFiles(dump) == updated;
        }

        class UpdateRunTest : public ::testing::TestWithParam<Flavor>
        {
        protected:
            // A machine with the installation and the first version staged.
            MemoryFileSystem Machine() const
            {
                MemoryFileSystem fs;
                const Flavor flavor = GetParam();
                // Linux's vfat swaps two names, though its ids say nothing after a move.
                fs.SetExchangeSupported(flavor != Flavor::NtfsLike);
                fs.SetHardLinksSupported(flavor != Flavor::FatLike);
                fs.SetSymbolicLinksSupported(flavor == Flavor::LinuxLike);
                fs.SetCaseInsensitive(flavor != Flavor::LinuxLike);
                fs.SetFlushesEachFile(flavor == Flavor::NtfsLike);
                fs.SetIdsPositional(flavor == Flavor::FatLike);
                TreeDump tree = _installation;
                tree.merge(Staged(_version1));
                fs.Build(tree);
                return fs;
            }

            // One run as the program makes it: apply, remove a staging folder nothing was installed from,
            // clean up. Returns whether the apply succeeded.
            static bool Run(MemoryFileSystem& fs, Update::ApplyResult* failure = nullptr)
            {
                Update::ApplySettings settings;
                settings.planner.updaterName = Update::FromAscii(Protocol::UpdaterFileName);
                settings.planner.updaterId = fs.IdOf(Protocol::UpdaterFileName);
                settings.sleep = [](std::chrono::milliseconds) {};
                Update::UpdateRun run(fs, settings);
                Update::ApplyResult result = run.Apply();
                if (!result && run.IsStagingLeft())
                {
                    (void)Update::RemoveTree(fs, fs.PathOf(Protocol::StagingFolderName));
                }
                (void)run.CleanUp();
                if (failure != nullptr)
                {
                    *failure = result;
                }
                return !result;
            }

            // How many operations a run makes from this state, so a test can strike each of them.
            static std::uint64_t CountOperations(MemoryFileSystem fs, Counting counting)
            {
                fs.SetFaultPlan({FaultKind::None, 0, counting});
                (void)Run(fs);
                return fs.CountedOperations(counting);
            }

            // Strikes each operation a run from `from` makes, as `counting` counts them, one run each, and calls
            // `each` with the machine that run left and whether it succeeded. After a failure or a kill the
            // machine is restarted; after a power cut `each` chooses what reached the disk. The trace is
            // `what` and the operation's number.
            static void ForEachStruckOperation(const MemoryFileSystem& from, FaultKind kind, Counting counting,
                                               const std::string& what,
                                               const std::function<void(MemoryFileSystem&, bool)>& each)
            {
                const std::uint64_t count = CountOperations(from, counting);
                for (std::uint64_t at = 1; at <= count; ++at)
                {
                    SCOPED_TRACE(what + " " + std::to_string(at));
                    MemoryFileSystem fs = from;
                    fs.SetFaultPlan({kind, at, counting});
                    const bool bHasSucceeded = Run(fs);
                    if (kind != FaultKind::PowerCut)
                    {
                        fs.Restart();
                    }
                    each(fs, bHasSucceeded);
                }
            }

            // At any instant each file is wholly of the installation or of the update (its read-only
            // attribute may be lifted for the move), and nothing the installation had is missing; whenever
            // the update is not whole yet, the launcher's rule says to start the updater again.
            void ExpectWholeFiles(const TreeDump& dump, const TreeDump& update) const
            {
                const auto holds = [](const TreeDump& tree, const std::string& path, const TreeItem& item) {
                    const auto found = tree.find(path);
                    return found != tree.end() && found->second.type == item.type && found->second.text == item.text;
                };
                for (const auto& [path, item] : dump)
                {
                    if (item.type != Update::EntryType::File || IsWorkingName(path) ||
                        path.rfind(Protocol::StagingFolderName, 0) == 0)
                    {
                        continue;
                    }
                    EXPECT_TRUE(holds(_installation, path, item) || holds(update, path, item))
                        << path << " holds \"" << item.text << "\"";
                }
                for (const auto& [path, item] : _installation)
                {
                    EXPECT_EQ(dump.count(path), 1U) << path << " is missing";
                }
                const bool whole = WithoutWorkingFiles(dump) == Applied(_installation, update);
                if (!whole || !OnlyRecordlessFolders(dump))
                {
                    EXPECT_TRUE(UpdateIsPending(dump))
                        << "the update is not whole or left files, and nothing tells the launcher";
                }
            }

            // The launcher's rule: the updater is started while something says an update is pending, and
            // then succeeds; an empty working folder, which the rule does not see, goes with any run.
            static void RunAsTheLauncherWould(MemoryFileSystem& fs)
            {
                const TreeDump before = fs.Dump();
                Update::ApplyResult failure;
                if (UpdateIsPending(before))
                {
                    EXPECT_TRUE(Run(fs, &failure)) << Describe(failure) << ::testing::PrintToString(before);
                }
                else if (before != WithoutWorkingFiles(before))
                {
                    (void)Run(fs);
                }
            }

            static void ExpectFinal(MemoryFileSystem& fs, const TreeDump& expected)
            {
                EXPECT_EQ(fs.Dump(), expected) << fs.RecordText();
                EXPECT_TRUE(fs.NamesStartingWith(".qor-").empty());
            }

            // What every interrupted run must leave: whole files, and a next run that completes the update.
            void ExpectRepairedByTheNextRun(MemoryFileSystem fs) const
            {
                ExpectWholeFiles(fs.Dump(), _version1);
                RunAsTheLauncherWould(fs);
                ExpectFinal(fs, _updated);
            }

            // For each count of the changes not yet flushed that reach the disk: the machine boots again
            // (and may number its file systems anew, as btrfs does), and the next run repairs it.
            void ExpectRepairedAfterEachCut(const MemoryFileSystem& cut,
                                            const std::vector<std::size_t>& reachedCounts) const
            {
                for (const std::size_t reached : reachedCounts)
                {
                    SCOPED_TRACE(std::to_string(reached) + " of " + std::to_string(cut.PendingChanges()) +
                                 " pending changes on disk");
                    MemoryFileSystem fs = cut;
                    fs.CutPower(reached);
                    fs.RenumberDevices();
                    ExpectRepairedByTheNextRun(fs);
                }
            }

            const TreeDump _installation = InstallationFor(GetParam());
            const TreeDump _version1 = Version1For(GetParam());
            const TreeDump _updated = Applied(_installation, _version1);
        };

        TEST_P(UpdateRunTest, AppliesTheWholeUpdateAndLeavesNothingOfItsOwn)
        {
            MemoryFileSystem fs = Machine();
            Update::ApplyResult failure;
            ASSERT_TRUE(Run(fs, &failure)) << Describe(failure) << fs.RecordText();
            ExpectFinal(fs, _updated);
            // And a power cut right after it takes nothing back.
            fs.CutPower(0);
            EXPECT_EQ(WithoutWorkingFiles(fs.Dump()), _updated);
        }

        // Any operation, reading ones included, failing once: the run either fails and leaves installation
        // and staging folder exactly as they were, or succeeds (the failure struck the clean-up) and the
        // next run leaves nothing.
        TEST_P(UpdateRunTest, EveryFailureLeavesEverythingAsItWasOrTheUpdateWhole)
        {
            const MemoryFileSystem initial = Machine();
            const auto expectAsItWasOrWhole = [&](MemoryFileSystem& fs, bool bHasSucceeded) {
                if (!bHasSucceeded)
                {
                    EXPECT_EQ(fs.Dump(), initial.Dump()) << fs.RecordText();
                    return;
                }
                EXPECT_EQ(WithoutWorkingFiles(fs.Dump()), _updated);
                RunAsTheLauncherWould(fs);
                ExpectFinal(fs, _updated);
            };
            ForEachStruckOperation(initial, FaultKind::Fail, Counting::All, "failing operation", expectAsItWasOrWhole);
        }

        // A kill at any change, then the next run: the update is whole and nothing of the killed run is left.
        // A second kill anywhere in that next run changes nothing to this.
        TEST_P(UpdateRunTest, EveryKillIsRepairedByTheNextRunEvenWhenThatOneIsKilledToo)
        {
            ForEachStruckOperation(
                Machine(), FaultKind::Kill, Counting::Changes, "killed at change", [&](MemoryFileSystem& killed, bool) {
                    ExpectRepairedByTheNextRun(killed);
                    ForEachStruckOperation(killed, FaultKind::Kill, Counting::Changes,
                                           "and the next run killed at change",
                                           [&](MemoryFileSystem& fs, bool) { ExpectRepairedByTheNextRun(fs); });
                });
        }

        // The run that repairs a killed one fails at any of its changes: it leaves the installation for the
        // run after it to repair, and that one completes the update.
        TEST_P(UpdateRunTest, EveryFailureOfTheRepairingRunIsRepairedByTheOneAfter)
        {
            ForEachStruckOperation(
                Machine(), FaultKind::Kill, Counting::Changes, "killed at change", [&](MemoryFileSystem& killed, bool) {
                    ForEachStruckOperation(killed, FaultKind::Fail, Counting::Changes,
                                           "the repairing run failing at change",
                                           [&](MemoryFileSystem& fs, bool) { ExpectRepairedByTheNextRun(fs); });
                });
        }

        // The power fails during any change and any prefix of what was not flushed reaches the disk: every
        // file is still wholly old or new, none is empty, and the next run completes the update.
        TEST_P(UpdateRunTest, EveryPowerCutIsRepairedByTheNextRun)
        {
            ForEachStruckOperation(Machine(), FaultKind::PowerCut, Counting::Changes, "power cut at change",
                                   [&](const MemoryFileSystem& cut, bool) {
                                       std::vector<std::size_t> everyPrefix(cut.PendingChanges() + 1);
                                       std::iota(everyPrefix.begin(), everyPrefix.end(), std::size_t{0});
                                       ExpectRepairedAfterEachCut(cut, everyPrefix);
                                   });
        }

        // The power fails during the run that repairs a killed one, which the disk recordings never show:
        // whatever of both runs' unflushed changes reaches the disk (none, the first, half, all but the last,
        // all), the files are whole and the run after completes the update.
        TEST_P(UpdateRunTest, EveryPowerCutOfTheRepairingRunIsRepairedByTheOneAfter)
        {
            const auto expectRepaired = [&](const MemoryFileSystem& cut, bool) {
                const std::size_t pending = cut.PendingChanges();
                std::vector<std::size_t> reached = {0, std::min<std::size_t>(1, pending), pending / 2,
                                                    pending - std::min<std::size_t>(1, pending), pending};
                std::sort(reached.begin(), reached.end());
                reached.erase(std::unique(reached.begin(), reached.end()), reached.end());
                ExpectRepairedAfterEachCut(cut, reached);
            };
            ForEachStruckOperation(
                Machine(), FaultKind::Kill, Counting::Changes, "killed at change", [&](MemoryFileSystem& killed, bool) {
                    ForEachStruckOperation(killed, FaultKind::PowerCut, Counting::Changes,
                                           "the repairing run's power cut at change", expectRepaired);
                });
        }

        // After a kill the world changes before the next run, as it does on players' machines. Whatever
        // the change, the runs that follow never get stuck: once the hostile state is gone and, where the
        // staged files were lost, the launcher has staged the update again, the installation is whole.
        TEST_P(UpdateRunTest, AChangedWorldAfterAKillNeverLeavesTheInstallationStuck)
        {
            struct Change
            {
                const char* name;
                std::function<void(MemoryFileSystem&)> make;
                std::function<void(MemoryFileSystem&)> undo;
                const TreeDump* restaged; // what the launcher stages after the change, if anything
            };
            const auto forEachName = [](MemoryFileSystem& fs, const char* pattern,
                                        const std::function<void(const std::string&)>& each) {
                for (const std::string& path : fs.NamesStartingWith(".qor-"))
                {
                    if (std::regex_search(path, std::regex(pattern)))
                    {
                        each(path);
                    }
                }
            };
            Update::FileId mapped;
            const std::vector<Change> changes = {
                {"the launcher stages a newer version that drops files",
                 [](MemoryFileSystem& fs) {
                     (void)Update::RemoveTree(fs, fs.PathOf(Protocol::StagingFolderName));
                     fs.Build(Staged(Version2));
                 },
                 nullptr, &Version2},
                {"an antivirus quarantines a newly installed file",
                 [](MemoryFileSystem& fs) {
                     const TreeDump dump = fs.Dump();
                     if (dump.count("bin/new.dll") != 0 && dump.at("bin/new.dll").text == "new dll")
                     {
                         (void)fs.RemoveFile(fs.PathOf("bin/new.dll"));
                     }
                 },
                 nullptr, &_version1},
                {"a cleaner deletes the updater's backups",
                 [&](MemoryFileSystem& fs) {
                     forEachName(fs, R"(-\d+b$)",
                                 [&](const std::string& path) { (void)fs.RemoveFile(fs.PathOf(path)); });
                 },
                 nullptr, nullptr},
                {"a cleaner empties the working folder's staging tree",
                 [&](MemoryFileSystem& fs) {
                     forEachName(fs, R"(^\.qor-[0-9a-f]{16}/staging$)",
                                 [&](const std::string& path) { (void)Update::RemoveTree(fs, fs.PathOf(path)); });
                 },
                 nullptr, &_version1},
                {"the player deletes the new plugins folder",
                 [](MemoryFileSystem& fs) { (void)Update::RemoveTree(fs, fs.PathOf("plugins")); }, nullptr, &_version1},
                {"a crash reporter maps the core library",
                 [&](MemoryFileSystem& fs) {
                     mapped = fs.IdOf("bin/core.dll");
                     fs.SetMappedImage("bin/core.dll", true);
                 },
                 [&](MemoryFileSystem& fs) {
                     // The reporter ends: its image is let go wherever the updater has moved it.
                     for (const auto& [path, item] : fs.Dump())
                     {
                         if (item.type == Update::EntryType::File && fs.IdOf(path) == mapped)
                         {
                             fs.SetMappedImage(path, false);
                         }
                     }
                 },
                 nullptr},
                {"the machine numbers its file systems anew (a reboot, a remount)",
                 [](MemoryFileSystem& fs) { fs.RenumberDevices(); }, nullptr, nullptr},
                {"the bin folder becomes read-only", [](MemoryFileSystem& fs) { fs.SetReadOnlyFolder("bin", true); },
                 [](MemoryFileSystem& fs) { fs.SetReadOnlyFolder("bin", false); }, nullptr},
            };
            const MemoryFileSystem initial = Machine();
            for (const Change& change : changes)
            {
                const std::string what = std::string(change.name) + ", after a kill at change";
                ForEachStruckOperation(
                    initial, FaultKind::Kill, Counting::Changes, what, [&](MemoryFileSystem& fs, bool) {
                        const bool committed = IsCommitted(fs.Dump(), _updated);
                        change.make(fs);
                        (void)Run(fs); // whatever it can do in that world, it may not make the next run impossible
                        if (change.undo)
                        {
                            change.undo(fs);
                        }
                        const TreeDump* version = change.restaged != nullptr ? change.restaged : &_version1;
                        if (fs.Dump().count(Protocol::StagingFolderName) == 0 &&
                            WithoutWorkingFiles(fs.Dump()) != Applied(_installation, *version))
                        {
                            fs.Build(Staged(*version)); // the launcher stages the update again
                        }
                        // A version the launcher staged over a committed update is applied over that update.
                        const TreeDump base = committed && version != &_version1 ? _updated : _installation;
                        RunAsTheLauncherWould(fs);
                        ExpectFinal(fs, Applied(base, *version));
                    });
            }
        }

        INSTANTIATE_TEST_SUITE_P(Kinds, UpdateRunTest,
                                 ::testing::Values(Flavor::LinuxLike, Flavor::NtfsLike, Flavor::FatLike),
                                 [](const ::testing::TestParamInfo<Flavor>& info) { return NameOf(info.param); });
    }
}
