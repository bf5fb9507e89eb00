// Fault injection that needs POSIX facilities: FIFOs and links in the staging tree, permissions that
// bite, and a full disk on a small tmpfs in a private mount namespace.

#include "InstallationTest.h"

#include <qor/Foundation/Platform_posix.h>
#include <qor/Utility/Utility.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace QOR::Testing
{
    namespace
    {
        using namespace std::chrono_literals;
        using ::testing::HasSubstr;
        using ::testing::IsEmpty;
        using ::testing::StartsWith;

        constexpr uid_t Nobody = 65534;
        const char* const Setpriv = "/usr/bin/setpriv";
        using FaultTest = InstallationTest;

        TEST_F(FaultTest, SpecialEntriesAreSkippedOrInstalledAsLinksAndNeverHang)
        {
            WriteFile(Staged("real/data.bin"), "data");
            ASSERT_EQ(::mkfifo(Staged("pipe").c_str(), 0644), 0);
            ASSERT_EQ(::mkfifo((Staged("real") / Protocol::UpdaterFileName).c_str(), 0644), 0);
            fs::create_symlink("missing-target", Staged("dangling"));
            fs::create_directory_symlink("real", Staged("linked-dir"));
            fs::create_symlink("real/data.bin", Staged("alias.bin"));
            // A FIFO where a staged file lands: replaced, never opened.
            WriteFile(Staged("target_pipe"), "regular now");
            ASSERT_EQ(::mkfifo(Installed("target_pipe").c_str(), 0644), 0);

            EXPECT_EQ(RunUpdater(30s), 0);

            EXPECT_EQ(ReadFile(Installed("real/data.bin")), "data");
            EXPECT_FALSE(fs::exists(fs::symlink_status(Installed("pipe"))));
            EXPECT_FALSE(fs::exists(fs::symlink_status(Installed("real") / Protocol::UpdaterFileName)));
            EXPECT_FALSE(fs::exists(fs::symlink_status(Installed("linked-dir"))));
            // Links to files stay links, as cp -a leaves them, a dangling one included.
            EXPECT_EQ(fs::read_symlink(Installed("dangling")), "missing-target");
            EXPECT_EQ(fs::read_symlink(Installed("alias.bin")), "real/data.bin");
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Installed("target_pipe"))));
            EXPECT_EQ(ReadFile(Installed("target_pipe")), "regular now");
            EXPECT_FALSE(fs::exists(fs::symlink_status(Staging())));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
            EXPECT_THAT(LogLines(), IsEmpty());
            EXPECT_TRUE(WaitForLauncherStarts(1));
        }

        // Runs the updater without the superuser's right to ignore permissions: as nobody when the
        // tests run as root, otherwise as the user running them.
        class UnprivilegedFaultTest : public FaultTest
        {
        protected:
            void SetUp() override
            {
                FaultTest::SetUp();
                if (::geteuid() == 0 && !fs::exists(Setpriv))
                {
                    GTEST_SKIP() << "running as root and " << Setpriv << " is missing to drop the rights";
                }
            }

            void TearDown() override
            {
                // Write access back everywhere, so the folder can be removed by a normal user too.
                std::error_code error;
                for (fs::recursive_directory_iterator it(Dir(), error), end; !error && it != end; it.increment(error))
                {
                    if (it->is_directory(error) && !it->is_symlink(error))
                    {
                        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
                    }
                }
            }

            TestProcess StartUpdater() override
            {
                if (::geteuid() != 0)
                {
                    return FaultTest::StartUpdater();
                }
                ChangeOwner(Dir());
                std::error_code error;
                for (fs::recursive_directory_iterator it(Dir(), error), end; !error && it != end; it.increment(error))
                {
                    ChangeOwner(it->path());
                }
                return TestProcess(Setpriv,
                                   {"--reuid=" + std::to_string(Nobody), "--regid=" + std::to_string(Nobody),
                                    "--clear-groups", "--", Installed(Protocol::UpdaterFileName).string()},
                                   Dir(), _streams);
            }

        private:
            static void ChangeOwner(const fs::path& path)
            {
                ASSERT_EQ(::lchown(path.c_str(), Nobody, Nobody), 0) << path;
            }
        };

        // A staged file is moved, so it need not be readable; but its folder must let it go.
        TEST_F(UnprivilegedFaultTest, StagedFileThatCannotBeMovedFailsTheUpdateAndChangesNothing)
        {
            WriteFile(Staged("a.txt"), "a");
            WriteFile(Installed("a.txt"), "old a");
            WriteFile(Staged("locked/locked.bin"), "secret new");
            WriteFile(Installed("locked/locked.bin"), "old");
            fs::permissions(Staged("locked"), fs::perms::owner_read | fs::perms::owner_exec);
            const auto before = Snapshot(Dir());

            EXPECT_EQ(RunUpdater(), 1);

            const std::string message = LoggedMessage();
            EXPECT_THAT(message, StartsWith("Unable to copy update files. Aborting application. "
                                            "File:./self_update/locked/locked.bin. Err: "));
            EXPECT_THAT(message, HasSubstr("Permission denied"));
            fs::remove_all(Installed(Protocol::LogFolderName));
            EXPECT_EQ(Snapshot(Dir()), before);
            EXPECT_FALSE(fs::exists(Installed("launcher_started.txt")));
        }

        TEST_F(UnprivilegedFaultTest, ReadOnlyTargetFolderFailsTheReplaceAndKeepsTheOldFile)
        {
            WriteFile(Staged("bin/core.dll"), "new");
            WriteFile(Installed("bin/core.dll"), "old");
            fs::permissions(Installed("bin"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                                  fs::perms::group_exec | fs::perms::others_read |
                                                  fs::perms::others_exec);

            EXPECT_EQ(RunUpdater(), 1);

            const std::string message = LoggedMessage();
            EXPECT_THAT(message, StartsWith("Unable to copy update files. Aborting application. "
                                            "File:./self_update/bin/core.dll. Err: "));
            EXPECT_THAT(message, HasSubstr("Permission denied"));
            EXPECT_EQ(ReadFile(Installed("bin/core.dll")), "old");
            EXPECT_EQ(ReadFile(Staged("bin/core.dll")), "new");
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
        }

        TEST_F(UnprivilegedFaultTest, ReadOnlyTargetFolderFailsANewSubfolderAsADirectoryFailure)
        {
            WriteFile(Staged("bin/plugins/new.dll"), "new");
            fs::create_directories(Installed("bin"));
            fs::permissions(Installed("bin"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                                  fs::perms::group_exec | fs::perms::others_read |
                                                  fs::perms::others_exec);

            EXPECT_EQ(RunUpdater(), 1);

            const std::string message = LoggedMessage();
            EXPECT_THAT(message, StartsWith("Unable to create directory. Aborting application. Director:" +
                                            (Dir() / "bin/plugins").string() + ". Err: "));
            EXPECT_THAT(message, HasSubstr("Permission denied"));
            EXPECT_FALSE(fs::exists(Installed("bin/plugins")));
            EXPECT_EQ(ReadFile(Staged("bin/plugins/new.dll")), "new");
        }

        // What a player's machine may have at the updater's lock file: left by another tool, by a
        // clean-up script, or by another user. Only a real holder means "another instance"; anything else
        // would refuse every update for ever, so the log names it (the box stays the same).
        struct PlantedLock
        {
            const char* name;
            void (*plant)(const fs::path& lock, const fs::path& installation);
            // Empty: a real holder, logged as a second instance.
            const char* cause;
        };

        void PrintTo(const PlantedLock& lock, std::ostream* out)
        {
            *out << lock.name;
        }

        class PlantedLockFileTest : public UnprivilegedFaultTest, public ::testing::WithParamInterface<PlantedLock>
        {
        protected:
            const fs::path _lock = std::string("/tmp/") + Protocol::UpdaterMutexName + ".lock";

            void SetUp() override
            {
                UnprivilegedFaultTest::SetUp();
                fs::remove_all(_lock);
            }
            void TearDown() override
            {
                fs::remove_all(_lock);
                UnprivilegedFaultTest::TearDown();
            }
        };

        TEST_P(PlantedLockFileTest, RefusesTheUpdateAndLogsTheRealCause)
        {
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");
            _streams.error = {Stream::Kind::File, Installed("updater_stderr.txt")};
            GetParam().plant(_lock, Dir());
            // A real holder is this test process itself.
            const MutexResult held =
                *GetParam().cause == '\0' ? CreateNamedMutex(Protocol::UpdaterMutexName) : MutexResult{};

            EXPECT_EQ(RunUpdater(), 1);

            const std::string message = LoggedMessage();
            if (*GetParam().cause == '\0')
            {
                EXPECT_EQ(message, "Only one instance of LauncherUpdater can work. Aborting application.");
            }
            else
            {
                EXPECT_EQ(message, "Unable to create mutex " + _lock.string() +
                                       ". Aborting application. Err: " + GetParam().cause);
            }
            EXPECT_THAT(ReadFile(Installed("updater_stderr.txt")),
                        HasSubstr("QOR Launcher Updater: Error: Only one instance of LauncherUpdater can work. "
                                  "Aborting application.\n"));
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_EQ(ReadFile(Staged("a.txt")), "new");
        }

        INSTANTIATE_TEST_SUITE_P(
            Machines, PlantedLockFileTest,
            ::testing::Values(PlantedLock{"HeldByAnotherUpdater", [](const fs::path&, const fs::path&) {}, ""},
                              PlantedLock{"Folder",
                                          [](const fs::path& lock, const fs::path&) { fs::create_directory(lock); },
                                          "Is a directory"},
                              PlantedLock{"Link",
                                          [](const fs::path& lock, const fs::path& installation) {
                                              WriteFile(installation / "elsewhere.lock", "");
                                              fs::create_symlink(installation / "elsewhere.lock", lock);
                                          },
                                          "Is a symbolic link"},
                              PlantedLock{"Fifo",
                                          [](const fs::path& lock, const fs::path&) { ::mkfifo(lock.c_str(), 0644); },
                                          "Not a regular file"},
                              // Made by someone else, readable by nobody else: as the updater runs without the rights
                              // to ignore that, it cannot open it.
                              PlantedLock{"Unreadable",
                                          [](const fs::path& lock, const fs::path&) {
                                              WriteFile(lock, "");
                                              fs::permissions(lock, fs::perms::none);
                                          },
                                          "Permission denied"}),
            [](const ::testing::TestParamInfo<PlantedLock>& info) { return std::string(info.param.name); });

        // A player has linked the big data folder of the installation to another disk, here a small tmpfs
        // mounted in a private mount namespace. Files landing there cannot be moved and are copied;
        // when that disk is full the update fails and everything stays as it was.
        class OtherDiskTest : public FaultTest
        {
        protected:
            struct Outcome
            {
                int code = -1;
                fs::path after;  // the installation, as it was after the run
                fs::path linked; // the linked folder on the other disk, likewise
            };

            // Runs the updater in the installation `seed` whose ./data is a link to a tmpfs of `size`
            // that starts with the content of `other`. Skips where mounting is not permitted.
            Outcome Run(const fs::path& seed, const fs::path& other, const std::string& size)
            {
                const fs::path mountPoint = Dir() / "mnt";
                const fs::path out = Dir() / "out";
                fs::create_directories(mountPoint);
                fs::create_directories(out);
                const std::string script =
                    "mount -t tmpfs -o size=" + size +
                    ",mode=0755 qor-other-disk \"$1\" 2>\"$4/mount-error\" || exit 77\n"
                    "cp -a \"$5/.\" \"$1/\" && cp -a \"$2\" \"$4/installation\" || exit 78\n"
                    "ln -s \"$1\" \"$4/installation/data\" && cd \"$4/installation\" || exit 79\n"
                    "\"$3\"\n"
                    "echo $? > \"$4/rc\"\n"
                    "mkdir \"$4/linked\" && cp -a \"$1/.\" \"$4/linked/\"\n";
                std::vector<std::string> arguments;
                if (::geteuid() != 0)
                {
                    arguments.push_back("--map-root-user");
                }
                for (const std::string& argument :
                     {std::string("--mount"), std::string("/bin/sh"), std::string("-c"), script, std::string("sh"),
                      mountPoint.string(), seed.string(), Installed(Protocol::UpdaterFileName).string(), out.string(),
                      other.string()})
                {
                    arguments.push_back(argument);
                }
                Outcome outcome;
                if (!fs::exists("/usr/bin/unshare"))
                {
                    ADD_FAILURE() << "/usr/bin/unshare is missing: util-linux is one of the test dependencies";
                    return outcome;
                }
                TestProcess run("/usr/bin/unshare", arguments, Dir());
                const std::optional<int> code = run.Wait(60s);
                EXPECT_TRUE(code.has_value()) << "the run in the mount namespace did not end";
                if (code == 77)
                {
                    _skipReason = "mounting a tmpfs in a private mount namespace is not permitted here: " +
                                  ReadFile(out / "mount-error");
                    return outcome;
                }
                EXPECT_EQ(code, std::optional<int>(0));
                const std::string rc = ReadFile(out / "rc");
                outcome.code = rc.empty() ? -1 : std::stoi(rc);
                outcome.after = out / "installation";
                outcome.linked = out / "linked";
                return outcome;
            }

            std::string _skipReason;
        };

        // A file of `size` bytes whose only data is `tail` at its end: the rest is a hole.
        void WriteSparseFile(const fs::path& path, std::size_t size, const std::string& tail)
        {
            fs::create_directories(path.parent_path());
            const Detail::UniqueFd file = Detail::OpenFile(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_TRUE(file);
            ASSERT_EQ(::ftruncate(file.Get(), static_cast<off_t>(size)), 0);
            ASSERT_EQ(::pwrite(file.Get(), tail.data(), tail.size(), static_cast<off_t>(size - tail.size())),
                      static_cast<ssize_t>(tail.size()));
        }

        std::string Attribute(const fs::path& path, const char* name)
        {
            std::string value(256, '\0');
            const ssize_t size = ::getxattr(path.c_str(), name, value.data(), value.size());
            return size < 0 ? std::string("<none>") : value.substr(0, static_cast<std::size_t>(size));
        }

        TEST_F(OtherDiskTest, FilesInAFolderLinkedToAnotherDiskAreCopiedThereAndSetIdBitsOfOthersDropped)
        {
            const fs::path seed = Dir() / "seed";
            const fs::path other = Dir() / "other";
            const fs::path staged = seed / Protocol::StagingFolderName;
            WriteFile(seed / Protocol::LauncherFileName, ReadFile(Installed(Protocol::LauncherFileName)));
            fs::permissions(seed / Protocol::LauncherFileName, fs::perms::owner_all);
            WriteFile(seed / "bin/core.dll", "core old");
            WriteFile(staged / "bin/core.dll", "core new");
            WriteFile(staged / "data/game.pak", std::string(100000, 'N'));
            WriteFile(staged / "data/maps/new.map", "map");
            WriteFile(staged / "data/tool", "#!/bin/sh\n");
            fs::permissions(staged / "data/tool",
                            fs::perms::owner_all | fs::perms::set_uid | fs::perms::group_exec | fs::perms::set_gid,
                            fs::perm_options::replace);
            const bool otherOwner = ::geteuid() == 0;
            if (otherOwner)
            {
                // A staged file of another user must not become a set-user-ID program of root's.
                ASSERT_EQ(::chown((staged / "data/tool").c_str(), Nobody, Nobody), 0);
            }
            WriteFile(other / "game.pak", "old pack");
            WriteFile(other / "saves/slot1", "the player's save");
            // What a move keeps and a plain copy loses: the time, extended attributes (file capabilities
            // among them, when root may set them) and holes; 8 MiB of hole would not even fit on that disk.
            const std::size_t sparseSize = 8u << 20;
            WriteSparseFile(staged / "data/sparse.bin", sparseSize, "tail");
            const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
            fs::last_write_time(staged / "data/sparse.bin", stamp);
            ASSERT_EQ(::setxattr((staged / "data/sparse.bin").c_str(), "user.qor.origin", "staged", 6, 0), 0);
            // VFS_CAP_REVISION_2 with the effective flag, CAP_NET_BIND_SERVICE permitted.
            const unsigned char capability[20] = {0x01, 0, 0, 0x02, 0, 0x04, 0, 0};
            const std::string capabilityValue(reinterpret_cast<const char*>(capability), sizeof(capability));
            const bool withCapability = otherOwner && ::setxattr((staged / "data/tool").c_str(), "security.capability",
                                                                 capability, sizeof(capability), 0) == 0;

            const Outcome outcome = Run(seed, other, "4m");
            if (!_skipReason.empty())
            {
                GTEST_SKIP() << _skipReason;
            }

            EXPECT_EQ(outcome.code, 0);
            EXPECT_EQ(ReadFile(outcome.after / "bin/core.dll"), "core new");
            EXPECT_EQ(ReadFile(outcome.linked / "game.pak"), std::string(100000, 'N'));
            EXPECT_EQ(ReadFile(outcome.linked / "maps/new.map"), "map");
            EXPECT_EQ(ReadFile(outcome.linked / "saves/slot1"), "the player's save");
            const fs::perms toolMode = fs::status(outcome.linked / "tool").permissions();
            EXPECT_EQ(toolMode & (fs::perms::owner_all | fs::perms::group_exec),
                      fs::perms::owner_all | fs::perms::group_exec);
            if (otherOwner)
            {
                EXPECT_EQ(toolMode & (fs::perms::set_uid | fs::perms::set_gid), fs::perms::none);
            }
            const fs::path sparse = outcome.linked / "sparse.bin";
            EXPECT_EQ(fs::file_size(sparse), sparseSize);
            EXPECT_EQ(ReadFile(sparse).substr(sparseSize - 4), "tail");
            EXPECT_EQ(fs::last_write_time(sparse), stamp);
            EXPECT_EQ(Attribute(sparse, "user.qor.origin"), "staged");
            if (withCapability)
            {
                EXPECT_EQ(Attribute(outcome.linked / "tool", "security.capability"), capabilityValue);
            }
            EXPECT_FALSE(fs::exists(outcome.after / Protocol::StagingFolderName));
            EXPECT_THAT(LeftoverTemporaries(outcome.after), IsEmpty());
            EXPECT_THAT(LeftoverTemporaries(outcome.linked), IsEmpty());
        }

        TEST_F(OtherDiskTest, FullOtherDiskFailsTheUpdateAndLeavesBothDisksAsTheyWere)
        {
            const fs::path seed = Dir() / "seed";
            const fs::path other = Dir() / "other";
            WriteFile(seed / "bin/core.dll", "core old");
            const fs::path staged = seed / Protocol::StagingFolderName;
            WriteFile(staged / "bin/core.dll", "core new");
            WriteFile(staged / "data/a.pak", std::string(3u << 20, 'A'));
            WriteFile(staged / "data/b.pak", std::string(3u << 20, 'B'));
            WriteFile(other / "a.pak", "old a");
            WriteFile(other / "b.pak", "old b");
            const auto seedBefore = Snapshot(seed);
            const auto otherBefore = Snapshot(other);

            const Outcome outcome = Run(seed, other, "4m");
            if (!_skipReason.empty())
            {
                GTEST_SKIP() << _skipReason;
            }

            EXPECT_EQ(outcome.code, 1);
            EXPECT_EQ(Snapshot(outcome.linked), otherBefore);
            const std::string log = ReadFile(outcome.after / Protocol::LogFolderName / Protocol::LogFileName);
            fs::remove_all(outcome.after / Protocol::LogFolderName);
            fs::remove(outcome.after / "data");
            fs::remove(outcome.after / Protocol::UpdaterFileName);
            EXPECT_EQ(Snapshot(outcome.after), seedBefore);
            const std::string message = OnlyLogRecord(log)["message"];
            EXPECT_THAT(message,
                        StartsWith("Unable to copy update files. Aborting application. File:./self_update/data/"));
            EXPECT_THAT(message, HasSubstr("No space left on device"));
        }
    }
}
