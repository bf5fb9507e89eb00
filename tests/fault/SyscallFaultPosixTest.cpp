// Every failure and every kill point of a realistic update, enumerated instead of sampled: strace makes
// the real updater's N-th call of a system call fail (EIO) or kills the updater there, for every N the
// update reaches. After a reported failure the installation and the staging tree are byte for byte as
// before; after a kill, the next run completes the update and leaves nothing of the killed one behind.

#include "InstallationTest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include <unistd.h>

namespace QOR::Testing
{
    namespace
    {
        using namespace std::chrono_literals;
        using ::testing::IsEmpty;

        const char* const Strace = "/usr/bin/strace";

        class SyscallFaultTest : public InstallationTest, public ::testing::WithParamInterface<const char*>
        {
        protected:
            void SetUp() override
            {
                InstallationTest::SetUp();
                if (!fs::exists(Strace))
                {
                    FAIL() << Strace << " is missing: scripts/install-deps.sh installs it";
                }
                // LeakSanitizer cannot work under ptrace and would fail every traced run of a sanitizer build.
                ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
                // A launcher that ends at once and holds no mutex, so that no run waits for the last one's.
                fs::remove(Installed(Protocol::LauncherFileName));
                fs::copy_file("/bin/true", Installed(Protocol::LauncherFileName));
            }

            // Replaced, new, new in new folders, a link that must stay a link, modes, a file only the
            // installation has, and the updater's own name.
            void Stage()
            {
                for (const char* entry : {Protocol::StagingFolderName, "bin", "plugins", "tools",
                                          Protocol::LogFolderName, "data", "run.sh", "top.txt"})
                {
                    fs::remove_all(Installed(entry));
                }
                for (const std::string& leftover : LeftoverTemporaries(Dir()))
                {
                    fs::remove_all(Installed(leftover));
                }
                WriteFile(Installed("bin/core.dll"), "core old");
                WriteFile(Installed("bin/libfoo.so.1"), "library 1");
                fs::create_symlink("libfoo.so.1", Installed("bin/libfoo.so"));
                WriteFile(Installed("data/keep.cfg"), "the player's settings");
                WriteFile(Installed("run.sh"), "old script");
                fs::permissions(Installed("run.sh"), fs::perms::owner_all, fs::perm_options::replace);

                WriteFile(Staged("bin/core.dll"), "core new");
                WriteFile(Staged("bin/libfoo.so.2"), "library 2");
                fs::create_symlink("libfoo.so.2", Staged("bin/libfoo.so"));
                // A new folder moves in whole; one holding a file that is never installed is made.
                WriteFile(Staged("plugins/deep/new.dll"), "plugin");
                WriteFile(Staged("tools/deep/helper.dll"), "helper");
                WriteFile(Staged("tools") / Protocol::UpdaterFileName, "never installed");
                WriteFile(Staged("run.sh"), "new script");
                fs::permissions(Staged("run.sh"), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                                fs::perm_options::replace);
                WriteFile(Staged("top.txt"), "top");
                WriteFile(Staged("bin") / Protocol::UpdaterFileName, "never installed");
            }

            // The tree as a player sees it, without the log and the launcher's start marks.
            std::map<std::string, std::string> Installation() const
            {
                auto tree = Snapshot(Dir());
                for (auto it = tree.begin(); it != tree.end();)
                {
                    const bool noise =
                        it->first == "launcher_started.txt" || it->first.rfind(Protocol::LogFolderName, 0) == 0;
                    it = noise ? tree.erase(it) : std::next(it);
                }
                return tree;
            }

            struct Run
            {
                int code;
                bool bIsInjected;
            };

            Run RunInjected(const std::string& injection, const std::string& syscall)
            {
                const fs::path trace = Dir() / "strace.out";
                fs::remove(trace);
                // Every thread and child is traced (their calls counted each on their own), and with a
                // seccomp filter a traced program stops only at the call in question: fast even for
                // sanitizer builds.
                TestProcess updater(Strace,
                                    {"-f", "--seccomp-bpf", "-o", trace.string(), "-e", "trace=" + syscall, "-e",
                                     "inject=" + injection, Installed(Protocol::UpdaterFileName).string()},
                                    Dir());
                const std::optional<int> code = updater.Wait(60s);
                EXPECT_TRUE(code.has_value()) << injection << ": the updater did not end";
                const std::string traced = ReadFile(trace);
                fs::remove(trace);
                return {code.value_or(-1), traced.find("INJECTED") != std::string::npos || code == 128 + 9};
            }

            // After a run that ended with `code`: as before, or the whole update in and nothing left.
            void ExpectBeforeOrDone(int code, const std::map<std::string, std::string>& before,
                                    const std::map<std::string, std::string>& done)
            {
                // A failed launch comes after the update, which stays in.
                const bool launchFailed = Log().find("Unable to launch QORLauncher.exe.") != std::string::npos;
                if (code != 0 && !launchFailed)
                {
                    EXPECT_TRUE(Installation() == before)
                        << "a failed run changed the installation or the staging tree:"
                        << SnapshotDifference(Installation(), before);
                    return;
                }
                // A removal that failed after the update leaves its leftovers for the next run to clear.
                // The launcher's rule; an empty working folder, which it does not see, goes with any later run.
                if (IsUpdatePending(Dir()))
                {
                    EXPECT_EQ(RunUpdater(), 0) << "the run after a failed removal";
                }
                else if (!LeftoverTemporaries(Dir()).empty())
                {
                    (void)RunUpdater();
                }
                EXPECT_TRUE(Installation() == done) << SnapshotDifference(Installation(), done);
            }
        };

        TEST_P(SyscallFaultTest, EveryFailureRestoresEverythingAndEveryKillIsRepairedByTheNextRun)
        {
            const std::string syscall = GetParam();
            Stage();
            const auto before = Installation();
            ASSERT_EQ(RunUpdater(), 0);
            const auto done = Installation();
            ASSERT_NE(before, done);

            int failures = 0;
            for (int n = 1;; ++n)
            {
                SCOPED_TRACE(syscall + " failing at call " + std::to_string(n));
                Stage();
                const Run run = RunInjected(syscall + ":error=EIO:when=" + std::to_string(n), syscall);
                if (!run.bIsInjected)
                {
                    EXPECT_EQ(run.code, 0);
                    break;
                }
                EXPECT_TRUE(run.code == 0 || run.code == 1 || run.code == 127) << "exit code " << run.code;
                failures += run.code == 0 ? 0 : 1;
                ExpectBeforeOrDone(run.code, before, done);
                if (HasFailure())
                {
                    return;
                }
            }
            for (int n = 1;; ++n)
            {
                SCOPED_TRACE(syscall + " killed at call " + std::to_string(n));
                Stage();
                const Run run = RunInjected(syscall + ":signal=KILL:when=" + std::to_string(n), syscall);
                if (!run.bIsInjected)
                {
                    EXPECT_EQ(run.code, 0);
                    break;
                }
                if (IsUpdatePending(Dir()))
                {
                    EXPECT_EQ(RunUpdater(), 0) << "the run after the kill";
                }
                else if (!LeftoverTemporaries(Dir()).empty())
                {
                    (void)RunUpdater(); // only an empty working folder, which the launcher does not see
                }
                EXPECT_TRUE(Installation() == done) << SnapshotDifference(Installation(), done);
                EXPECT_FALSE(fs::exists(Staging()));
                EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
                if (HasFailure())
                {
                    return;
                }
            }
            RecordProperty("failures", failures);
        }

        // The calls that change or flush the file system, and those that read it on the way of an update.
        INSTANTIATE_TEST_SUITE_P(ChangingCalls, SyscallFaultTest,
                                 ::testing::Values("mkdir", "linkat", "rename", "renameat2", "symlink", "unlink",
                                                   "unlinkat", "rmdir", "fsync", "syncfs"),
                                 [](const ::testing::TestParamInfo<const char*>& info) {
                                     return std::string(info.param);
                                 });
#ifndef __SANITIZE_ADDRESS__
        // Sanitizer builds take seconds per traced run: there the reading calls, whose failures change
        // nothing, are left to the build without sanitizers. AddressSanitizer also probes memory with
        // write() and stops when that fails otherwise than it expects.
        INSTANTIATE_TEST_SUITE_P(ReadingCalls, SyscallFaultTest,
                                 ::testing::Values("openat", "getdents64", "newfstatat", "readlink", "write"),
                                 [](const ::testing::TestParamInfo<const char*>& info) {
                                     return std::string(info.param);
                                 });
#endif
    }
}
