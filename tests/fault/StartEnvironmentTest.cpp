// The updater started the ways players' machines start it: with a log folder that cannot be written,
// with its output going to a launcher that has already exited, with standard streams closed. None of it
// may stop the update, kill the updater halfway or garble the one log line.

#include "InstallationTest.h"

#include <qor/Utility/Utility.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <qor/Foundation/Platform_win32.h>
#else
#include <sys/stat.h>
#endif

namespace QOR::Testing
{
#ifdef _WIN32
    static_assert(LauncherProtocol::DetachedLaunchFlags == (DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT),
                  "the launch flags of the protocol are the system's");
#endif

    namespace
    {
        using ::testing::HasSubstr;
        using ::testing::IsEmpty;
        using ::testing::Not;
        using ::testing::StartsWith;

        const char* const SecondInstanceLogText =
            "Only one instance of LauncherUpdater can work. Aborting application.";

        class StartEnvironmentTest : public InstallationTest
        {
        protected:
            fs::path ErrorFile() const { return Installed("updater_stderr.txt"); }
            void CaptureStandardError() { _streams.error = {Stream::Kind::File, ErrorFile()}; }
            std::string StandardError() const { return ReadFile(ErrorFile()); }

            // Another updater's hold on the single-instance name, so a run fails at once as a second instance.
            static MutexResult HoldUpdaterName()
            {
                MutexResult held = CreateNamedMutex(Protocol::UpdaterMutexName);
                EXPECT_TRUE(held.mutex) << held.error.GetText();
                return held;
            }
        };

        enum class BrokenLog
        {
            LogIsAFile,
            LogFileIsAFolder,
            LogFolderIsReadOnly,
            LogFileIsAFifo, // opening it for writing would wait for a reader for ever
        };

        const char* NameOf(BrokenLog broken)
        {
            switch (broken)
            {
            case BrokenLog::LogIsAFile:
                return "LogIsAFile";
            case BrokenLog::LogFileIsAFolder:
                return "LogFileIsAFolder";
            case BrokenLog::LogFolderIsReadOnly:
                return "LogFolderIsReadOnly";
            case BrokenLog::LogFileIsAFifo:
                return "LogFileIsAFifo";
            }
            return "Unknown";
        }

        void PrintTo(BrokenLog broken, std::ostream* out)
        {
            *out << NameOf(broken);
        }

        class BrokenLogTest : public StartEnvironmentTest, public ::testing::WithParamInterface<BrokenLog>
        {
        protected:
            // What ./log holds, to show that nothing was written there.
            std::string LogState() const
            {
                const fs::path log = Installed(Protocol::LogFolderName);
                if (fs::is_regular_file(log))
                {
                    return "file:" + ReadFile(log);
                }
                std::string state = "folder:";
                for (const std::string& entry : ListTree(log))
                {
                    state += entry + (fs::is_directory(log / entry) ? "/" : "=" + ReadFile(log / entry)) + ";";
                }
                return state;
            }
        };

        TEST_P(BrokenLogTest, UpdateRunsAndFailuresGoToStandardErrorInstead)
        {
            std::unique_ptr<HeldFile> readOnly;
            switch (GetParam())
            {
            case BrokenLog::LogIsAFile:
                WriteFile(Installed(Protocol::LogFolderName), "not a folder");
                break;
            case BrokenLog::LogFileIsAFolder:
                fs::create_directories(LogFile());
                break;
            case BrokenLog::LogFolderIsReadOnly:
                fs::create_directories(Installed(Protocol::LogFolderName));
                readOnly = MakeFolderUnwritable(Installed(Protocol::LogFolderName));
                ASSERT_TRUE(readOnly) << "no way to make a folder unwritable here";
                break;
            case BrokenLog::LogFileIsAFifo:
#ifndef _WIN32
                fs::create_directories(Installed(Protocol::LogFolderName));
                ASSERT_EQ(::mkfifo(LogFile().c_str(), 0644), 0);
#endif
                break;
            }
            const std::string logState = LogState();
            WriteFile(Staged("bin/core.dll"), "new");
            WriteFile(Installed("bin/core.dll"), "old");
            CaptureStandardError();

            EXPECT_EQ(RunUpdater(), 0);
            EXPECT_EQ(ReadFile(Installed("bin/core.dll")), "new");
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_TRUE(WaitForLauncherStarts(1));
            EXPECT_THAT(StandardError(), HasSubstr("No log file"));

            // A failure still reaches someone: the box, and standard error in place of the log line.
            WriteFile(Staged("a.txt"), "new");
            const MutexResult otherUpdater = HoldUpdaterName();
            EXPECT_EQ(RunUpdater(), 1);
            EXPECT_THAT(StandardError(), HasSubstr(std::string("QOR::LauncherUpdater: ") + SecondInstanceLogText));
            EXPECT_EQ(LogState(), logState);
        }

        const BrokenLog BrokenLogs[] = {
            BrokenLog::LogIsAFile,
            BrokenLog::LogFileIsAFolder,
#ifndef _WIN32
            BrokenLog::LogFolderIsReadOnly, // no folder permissions under Wine
            BrokenLog::LogFileIsAFifo,
#endif
        };

        INSTANTIATE_TEST_SUITE_P(Machines, BrokenLogTest, ::testing::ValuesIn(BrokenLogs),
                                 [](const ::testing::TestParamInfo<BrokenLog>& info) {
                                     return std::string(NameOf(info.param));
                                 });

        // A launcher that captured the updater's output and exited: every write to it fails from then on.
        TEST_F(StartEnvironmentTest, OutputToALauncherThatHasExitedNeitherKillsTheRunNorStopsTheRelaunch)
        {
            _streams.output = {Stream::Kind::ReaderGone, {}};
            _streams.error = {Stream::Kind::ReaderGone, {}};
            WriteFile(Staged("a.txt"), "new");
            {
                const MutexResult otherUpdater = HoldUpdaterName();
                EXPECT_EQ(RunUpdater(), 1) << "the run must end by itself, with its own exit code";
                EXPECT_EQ(LoggedMessage(), SecondInstanceLogText);
            }

            // The removal fails with a box (written to standard error on Linux); the launcher still starts.
            WriteFile(Staged("sub") / Protocol::UpdaterFileName, "never copied");
            const std::unique_ptr<HeldFile> held = PreventRemoval(Staged("sub") / Protocol::UpdaterFileName);
            ASSERT_TRUE(held) << "no way to make a file unremovable here";
            EXPECT_EQ(RunUpdater(), 0);
            EXPECT_EQ(ReadFile(Installed("a.txt")), "new");
            EXPECT_TRUE(WaitForLauncherStarts(1));
        }

        // Which standard streams a launcher (or a service manager) may leave closed.
        struct ClosedStreams
        {
            const char* name;
            bool bIsInputClosed;
            bool bIsOutputClosed;
        };

        void PrintTo(const ClosedStreams& streams, std::ostream* out)
        {
            *out << streams.name;
        }

        class ClosedStreamsTest : public StartEnvironmentTest, public ::testing::WithParamInterface<ClosedStreams>
        {
        };

        // The files the updater opens would take the free numbers of closed streams: the box text or the
        // console copy of the line would then be written into the log.
        TEST_P(ClosedStreamsTest, LogHoldsTheOneLineAndNothingElse)
        {
            const auto closed = [](bool bIsClosed) {
                return Stream{bIsClosed ? Stream::Kind::Closed : Stream::Kind::Usual, {}};
            };
            _streams.input = closed(GetParam().bIsInputClosed);
            _streams.output = closed(GetParam().bIsOutputClosed);
            _streams.error = closed(true);
            WriteFile(Staged("a.txt"), "new");
            const MutexResult otherUpdater = HoldUpdaterName();

            EXPECT_EQ(RunUpdater(), 1);

            EXPECT_EQ(LoggedMessage(), SecondInstanceLogText);
            EXPECT_THAT(Log(), Not(HasSubstr("Error: Only one instance")));
            EXPECT_EQ(ReadFile(Staged("a.txt")), "new");
        }

        // Windows: a process without standard handles. Closing some of them alone is a POSIX matter
        // (descriptor numbers are reused lowest first; handle values are not).
        const ClosedStreams ClosedStreamSets[] = {
            {"AllThree", true, true},
#ifndef _WIN32
            {"OutputAndError", false, true},
            {"ErrorOnly", false, false},
#endif
        };

        INSTANTIATE_TEST_SUITE_P(Starts, ClosedStreamsTest, ::testing::ValuesIn(ClosedStreamSets),
                                 [](const ::testing::TestParamInfo<ClosedStreams>& info) {
                                     return std::string(info.param.name);
                                 });

#ifdef _WIN32
        // Windows' counterpart of a planted lock file: the name belongs to an object of another kind.
        // No updater will ever let it go, so "another instance" would be wrong for ever.
        TEST_F(StartEnvironmentTest, SingleInstanceNameOwnedByAnEventIsLoggedAsWhatItIs)
        {
            const std::string name = std::string("Global\\") + Protocol::UpdaterMutexName;
            const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, fs::path(name).wstring().c_str());
            ASSERT_NE(event, nullptr);
            WriteFile(Staged("a.txt"), "new");
            WriteFile(Installed("a.txt"), "old");

            EXPECT_EQ(RunUpdater(), 1);
            ::CloseHandle(event);

            const std::string message = LoggedMessage();
            const std::string prefix = "Unable to create mutex " + name + ". Aborting application. Err: ";
            EXPECT_THAT(message, StartsWith(prefix));
            EXPECT_GT(message.size(), prefix.size());
            EXPECT_EQ(ReadFile(Installed("a.txt")), "old");
            EXPECT_EQ(ReadFile(Staged("a.txt")), "new");
        }
#endif
    }
}
