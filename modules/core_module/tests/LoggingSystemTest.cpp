// The logging system is one per process and lives until exit, so every case runs its logging in a
// child process (EXPECT_EXIT) and checks the files the child left behind. The child re-runs the case
// from its start, so everything before EXPECT_EXIT must be repeatable.
#include "qor/Logging/LoggingSystem.h"
#include "JsonReader.h"
#include "TestTree.h"
#include "qor/Engine/Engine.h"
#include "qor/Logging/Logger.h"

#include <gtest/gtest.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{
    namespace fs = std::filesystem;
    using QOR::LoggerSettings;
    using QOR::LoggingSystem;
    using QOR::LogLevel;
    using QOR::Testing::ReadFile;
    using QOR::Testing::WriteFile;

#define CHILD_CHECK(condition)                                                                                         \
    do                                                                                                                 \
    {                                                                                                                  \
        if (!(condition))                                                                                              \
        {                                                                                                              \
            std::fprintf(stderr, "child check failed: %s (line %d)\n", #condition, __LINE__);                          \
            std::fflush(stderr);                                                                                       \
            std::exit(1);                                                                                              \
        }                                                                                                              \
    } while (false)

    class LoggingSystemTest : public testing::Test
    {
    protected:
        void SetUp() override
        {
            GTEST_FLAG_SET(death_test_style, "threadsafe");
            const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
            _dir = fs::current_path() / "logging_test_files" / info->name();
            // Only the parent starts from an empty folder: a child must not wipe what an earlier child
            // of the same case wrote.
            if (GTEST_FLAG_GET(internal_run_death_test).empty())
            {
                fs::remove_all(_dir);
            }
            fs::create_directories(_dir);
        }

        LoggerSettings FileOnly(const fs::path& file) const
        {
            LoggerSettings settings;
            settings.consoleEnabled = false;
            settings.fileEnabled = true;
            settings.filePath = file;
            return settings;
        }

        // Fails the test on a line without its "\r\n" ending or with a line break inside.
        static std::vector<std::string> ReadLines(const fs::path& path)
        {
            const std::string log = ReadFile(path);
            const std::optional<std::vector<std::string>> lines = QOR::Testing::SplitLogLines(log);
            EXPECT_TRUE(lines.has_value()) << "not a log of whole lines: " << log;
            return lines.value_or(std::vector<std::string>{});
        }

        // Fails the test unless the line is a valid JSON object with that member.
        static std::string Member(const std::string& line, const std::string& name)
        {
            const std::optional<QOR::Testing::JsonObject> record = QOR::Testing::ParseJsonObject(line);
            if (!record || record->count(name) == 0)
            {
                ADD_FAILURE() << "no member " << name << " in " << line;
                return {};
            }
            return record->at(name);
        }

        static void Write(std::string_view message, LogLevel level = LogLevel::Error, bool bIsRateLimited = false)
        {
            LoggingSystem::Get().Log("TestEngine", spdlog::source_loc{"C:\\src\\Test.cpp", 12, "Test"}, level,
                                     bIsRateLimited, "QOR::Testing", message);
        }

        // Configure swaps the sinks of live loggers, so it may only run once the writer is idle.
        static void WaitUntilIdle()
        {
            while (LoggingSystem::Get().GetQueuedRecordCount() > 0)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }

        fs::path _dir;
    };

    TEST_F(LoggingSystemTest, BeforeConfigureOnlyTheConsoleIsUsed)
    {
        EXPECT_EXIT(
            {
                fs::current_path(_dir);
                Write("before configure");
                const LoggerSettings settings = LoggingSystem::Get().GetSettings();
                CHILD_CHECK(settings.consoleEnabled && !settings.fileEnabled);
                CHILD_CHECK(LoggingSystem::Get().GetQueueCapacity() == 8192);
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        EXPECT_TRUE(fs::is_empty(_dir));
    }

    TEST_F(LoggingSystemTest, ConfigureCreatesTheFolderAndRotatesOnOpen)
    {
        const fs::path log = _dir / "log";
        fs::create_directories(log);
        WriteFile(log / "app.txt", "current\r\n");
        for (int i = 1; i <= 5; ++i)
        {
            WriteFile(log / ("app." + std::to_string(i) + ".txt"), "old" + std::to_string(i));
        }
        EXPECT_EXIT(
            {
                LoggingSystem::Get().Configure(FileOnly(log / "app.txt"));
                LoggingSystem::Get().Configure(FileOnly(_dir / "missing" / "deeper" / "app.txt"));
                Write("into the new folder");
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        EXPECT_EQ(ReadFile(log / "app.1.txt"), "current\r\n");
        for (int i = 2; i <= 5; ++i)
        {
            EXPECT_EQ(ReadFile(log / ("app." + std::to_string(i) + ".txt")), "old" + std::to_string(i - 1));
        }
        EXPECT_FALSE(fs::exists(log / "app.6.txt"));
        EXPECT_EQ(ReadFile(log / "app.txt"), "");
        const std::vector<std::string> lines = ReadLines(_dir / "missing" / "deeper" / "app.txt");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(Member(lines[0], "message"), "into the new folder");
    }

    TEST_F(LoggingSystemTest, WithoutRotatedCopiesRotationEmptiesTheFile)
    {
        WriteFile(_dir / "app.txt", "previous run\r\n");
        EXPECT_EXIT(
            {
                LoggerSettings settings = FileOnly(_dir / "app.txt");
                settings.maxFiles = 0;
                LoggingSystem::Get().Configure(settings);
                Write("fresh");
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        EXPECT_FALSE(fs::exists(_dir / "app.1.txt"));
        const std::vector<std::string> lines = ReadLines(_dir / "app.txt");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(Member(lines[0], "message"), "fresh");
    }

    // A log folder under a non-ASCII user profile must still work on Windows.
    TEST_F(LoggingSystemTest, NonAsciiFolderNamesWork)
    {
        const fs::path file = _dir / fs::path(u8"Jörg_日本") / "app.txt";
        EXPECT_EXIT(
            {
                LoggingSystem::Get().Configure(FileOnly(file));
                Write("unicode folder");
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        const std::vector<std::string> lines = ReadLines(file);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(Member(lines[0], "message"), "unicode folder");
    }

    TEST_F(LoggingSystemTest, LoggerModuleWritesTheExactLine)
    {
        EXPECT_EXIT(
            {
                QOR::Engine engine("QORLauncherUpdater");
                auto* logger = static_cast<QOR::Logger*>(engine.GetModule("Logger"));
                logger->Configure(FileOnly(_dir / "app.txt"));
                logger->Log(spdlog::source_loc{"C:\\work\\src\\QORLauncherUpdater\\main.cpp", 60, "main"},
                            LogLevel::Error, false, "QOR::LauncherUpdater", "copy failed");
                logger->Log(spdlog::source_loc{}, LogLevel::Info, false, "", "");
                // After Initialize the engine's name is the ID; the system keeps logging after Shutdown.
                logger->Initialize();
                CHILD_CHECK(LoggingSystem::Get().GetUserCount() == 1);
                logger->Shutdown();
                CHILD_CHECK(LoggingSystem::Get().GetUserCount() == 0);
                logger->Log(spdlog::source_loc{"/src/posix/file.cpp", 7, "f"}, LogLevel::Warning, false, "c", "m");
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        const std::vector<std::string> lines = ReadLines(_dir / "app.txt");
        ASSERT_EQ(lines.size(), 3u);
        const std::string time = R"(\{"time": "\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d", )";
        EXPECT_TRUE(std::regex_match(lines[0], std::regex(time + R"("level": "error", "engineID": "QOR_Engine", )"
                                                                 R"("category": "QOR::LauncherUpdater", )"
                                                                 R"("message": "copy failed", "process": "\d+", )"
                                                                 R"("thread": "\d+", "line": "main.cpp:60"\})")))
            << lines[0];
        EXPECT_TRUE(std::regex_match(lines[1], std::regex(time + R"("level": "info", "engineID": "QOR_Engine", )"
                                                                 R"("category": "", "message": "", "process": "\d+", )"
                                                                 R"("thread": "\d+", "line": ":"\})")))
            << lines[1];
        EXPECT_EQ(Member(lines[2], "engineID"), "QORLauncherUpdater");
        EXPECT_EQ(Member(lines[2], "line"), "file.cpp:7");
    }

    TEST_F(LoggingSystemTest, TextsThatBreakJsonAreEscaped)
    {
        const std::vector<std::string> messages = {
            R"(Unable to copy "./self_update\bin\core.dll": Access is denied.)",
            "two\r\nlines\tand a tab",
            std::string("nul \0 bell \a escape \x1b", 21),
            "Grüße 日本語 😀",
            "broken \xC3 and \xE2\x82 and \xFF utf-8",
        };
        EXPECT_EXIT(
            {
                LoggingSystem::Get().Configure(FileOnly(_dir / "app.txt"));
                for (const std::string& message : messages)
                {
                    LoggingSystem::Get().Log("Engine \"1\"", spdlog::source_loc{}, LogLevel::Error, false,
                                             "QOR::\\Cat\n", message);
                }
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        const std::vector<std::string> lines = ReadLines(_dir / "app.txt");
        ASSERT_EQ(lines.size(), messages.size());
        for (std::size_t i = 0; i + 1 < messages.size(); ++i)
        {
            EXPECT_EQ(Member(lines[i], "message"), messages[i]);
            EXPECT_EQ(Member(lines[i], "engineID"), "Engine \"1\"");
            EXPECT_EQ(Member(lines[i], "category"), "QOR::\\Cat\n");
        }
        EXPECT_EQ(Member(lines.back(), "message"), "broken \xEF\xBF\xBD and \xEF\xBF\xBD and \xEF\xBF\xBD utf-8");
    }

    TEST_F(LoggingSystemTest, LevelsAndSinkThresholds)
    {
        // Each threshold in a fresh logging system of its own child.
        const std::pair<const char*, LogLevel> thresholds[] = {{"trace.txt", LogLevel::Trace},
                                                               {"warning.txt", LogLevel::Warning},
                                                               {"beyond.txt", static_cast<LogLevel>(9)}};
        for (const auto& [file, threshold] : thresholds)
        {
            EXPECT_EXIT(
                {
                    LoggerSettings settings = FileOnly(_dir / file);
                    settings.fileLevel = threshold;
                    LoggingSystem::Get().Configure(settings);
                    for (int level = 0; level <= 6; ++level)
                        Write(std::to_string(level), static_cast<LogLevel>(level));
                    std::exit(0);
                },
                testing::ExitedWithCode(0), "");
        }
        const auto levels = [this](const char* file) {
            std::string result;
            for (const std::string& line : ReadLines(_dir / file))
            {
                result += Member(line, "level") + "=" + Member(line, "message") + " ";
            }
            return result;
        };
        EXPECT_EQ(levels("trace.txt"), "info=2 warning=3 error=4 critical=5 off=6 ");
        EXPECT_EQ(levels("warning.txt"), "warning=3 error=4 critical=5 off=6 ");
        EXPECT_EQ(levels("beyond.txt"), "off=6 ");
    }

    TEST_F(LoggingSystemTest, ReconfigureKeepsLoggersAndPoolAndRejectsNonsense)
    {
        EXPECT_EXIT(
            {
                LoggingSystem& system = LoggingSystem::Get();
                const auto unlimited = system.GetUnlimitedLogger();
                const auto rateLimited = system.GetRateLimitedLogger();
                LoggerSettings settings = FileOnly(_dir / "first.txt");
                settings.queueSize = 16;
                settings.threadCount = 3;
                system.Configure(settings);
                CHILD_CHECK(system.GetUnlimitedLogger() == unlimited && system.GetRateLimitedLogger() == rateLimited);
                CHILD_CHECK(spdlog::get("loggerUnlimited") == unlimited);
                CHILD_CHECK(unlimited->sinks().size() == 1 && unlimited->sinks() == rateLimited->sinks());
                CHILD_CHECK(system.GetQueueCapacity() == 8192);
                Write("first");

                // Nonsense is refused and leaves the configuration as it was.
                const auto rejected = [&](auto change) {
                    LoggerSettings bad = FileOnly(_dir / "never.txt");
                    change(bad);
                    try
                    {
                        system.Configure(bad);
                    }
                    catch (const std::invalid_argument&)
                    {
                        return system.GetSettings().filePath == _dir / "first.txt";
                    }
                    return false;
                };
                CHILD_CHECK(rejected([](LoggerSettings& s) { s.queueSize = 0; }));
                CHILD_CHECK(rejected([](LoggerSettings& s) { s.threadCount = 0; }));
                CHILD_CHECK(rejected([](LoggerSettings& s) { s.threadCount = 1001; }));
                CHILD_CHECK(rejected([](LoggerSettings& s) { s.maxFileSize = 0; }));
                CHILD_CHECK(rejected([](LoggerSettings& s) { s.maxFiles = -1; }));

                // A file that cannot be opened raises the library's error; the old sinks stay.
                fs::create_directories(_dir / "a_folder");
                bool bIsThrown = false;
                try
                {
                    system.Configure(FileOnly(_dir / "a_folder"));
                }
                catch (const spdlog::spdlog_ex&)
                {
                    bIsThrown = true;
                }
                CHILD_CHECK(bIsThrown);
                CHILD_CHECK(system.GetSettings().filePath == _dir / "first.txt");
                Write("still first");
                WaitUntilIdle();

                system.Configure(FileOnly(_dir / "second.txt"));
                Write("second");
                WaitUntilIdle();
                // No sinks at all: records are queued and discarded.
                LoggerSettings none;
                none.consoleEnabled = false;
                system.Configure(none);
                CHILD_CHECK(unlimited->sinks().empty());
                Write("nowhere");
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        EXPECT_FALSE(fs::exists(_dir / "never.txt"));
        const std::vector<std::string> first = ReadLines(_dir / "first.txt");
        ASSERT_EQ(first.size(), 2u);
        EXPECT_EQ(Member(first[0], "message"), "first");
        EXPECT_EQ(Member(first[1], "message"), "still first");
        const std::vector<std::string> second = ReadLines(_dir / "second.txt");
        ASSERT_EQ(second.size(), 1u);
        EXPECT_EQ(Member(second[0], "message"), "second");
    }

    TEST_F(LoggingSystemTest, RemovingMoreUsersThanAddedShutsTheRegistryDownButLoggingGoesOn)
    {
        EXPECT_EXIT(
            {
                LoggingSystem& system = LoggingSystem::Get();
                system.Configure(FileOnly(_dir / "app.txt"));
                system.RemoveUser();
                CHILD_CHECK(system.GetUserCount() == -1);
                CHILD_CHECK(spdlog::get("loggerUnlimited") == nullptr);
                Write("after shutdown");
                system.AddUser();
                CHILD_CHECK(system.GetUserCount() == 0);
                WaitUntilIdle();
                system.Configure(FileOnly(_dir / "again.txt"));
                Write("after reconfigure");
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        EXPECT_EQ(ReadLines(_dir / "app.txt").size(), 1u);
        EXPECT_EQ(ReadLines(_dir / "again.txt").size(), 1u);
    }

    TEST_F(LoggingSystemTest, EverythingQueuedBeforeExitIsWrittenInOrder)
    {
        constexpr int kRecords = 30000; // more than the queue holds, so callers also wait for room
        EXPECT_EXIT(
            {
                LoggerSettings settings = FileOnly(_dir / "app.txt");
                settings.flushIntervalSeconds = 0;
                settings.maxFileSize = 64 * 1024 * 1024;
                LoggingSystem::Get().Configure(settings);
                for (int i = 0; i < kRecords; ++i)
                {
                    Write(std::to_string(i));
                }
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        const std::vector<std::string> lines = ReadLines(_dir / "app.txt");
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(kRecords));
        for (int i = 0; i < kRecords; i += 997)
        {
            EXPECT_EQ(Member(lines[static_cast<std::size_t>(i)], "message"), std::to_string(i));
        }
        EXPECT_EQ(Member(lines.back(), "message"), std::to_string(kRecords - 1));
    }

    // Holds the writer thread inside the sink until the test lets records through one by one.
    class GateSink : public spdlog::sinks::base_sink<std::mutex>
    {
    public:
        void Allow(std::size_t records)
        {
            std::lock_guard lock(_gateMutex);
            _permits += records;
            _changed.notify_all();
        }

        void WaitUntilEntered(std::size_t records)
        {
            std::unique_lock lock(_gateMutex);
            _changed.wait(lock, [&] { return _entered >= records; });
        }

    protected:
        void sink_it_(const spdlog::details::log_msg&) override
        {
            std::unique_lock lock(_gateMutex);
            ++_entered;
            _changed.notify_all();
            _changed.wait(lock, [&] { return _permits > 0; });
            --_permits;
        }

        void flush_() override {}

    private:
        std::mutex _gateMutex;
        std::condition_variable _changed;
        std::size_t _permits = 0;
        std::size_t _entered = 0;
    };

    TEST_F(LoggingSystemTest, RateLimitedRecordsAreDroppedWhileTheQueueIsFull)
    {
        EXPECT_EXIT(
            {
                LoggingSystem& system = LoggingSystem::Get();
                LoggerSettings settings = FileOnly(_dir / "app.txt");
                settings.flushIntervalSeconds = 0;
                settings.maxFileSize = 64 * 1024 * 1024;
                system.Configure(settings);
                auto gate = std::make_shared<GateSink>();
                system.GetUnlimitedLogger()->sinks().push_back(gate);
                system.GetRateLimitedLogger()->sinks().push_back(gate);
                const std::size_t capacity = system.GetQueueCapacity();

                Write("first");
                gate->WaitUntilEntered(1);
                for (std::size_t i = 0; i < capacity; ++i)
                {
                    Write("fill " + std::to_string(i));
                }
                CHILD_CHECK(system.GetQueuedRecordCount() == capacity);

                // The notice waits for one free slot; the gate frees it once the caller is waiting.
                const auto overflow = [&](const char* message) {
                    std::thread opener([&] {
                        std::this_thread::sleep_for(std::chrono::seconds(1));
                        gate->Allow(1);
                    });
                    Write(message, LogLevel::Info, true);
                    opener.join();
                };
                overflow("dropped 1");
                CHILD_CHECK(system.GetQueuedRecordCount() == capacity);
                Write("dropped 2", LogLevel::Info, true);
                Write("dropped 3", LogLevel::Error, true);

                // One free slot re-arms the rule.
                gate->Allow(1);
                gate->WaitUntilEntered(3);
                CHILD_CHECK(system.GetQueuedRecordCount() == capacity - 1);
                Write("kept", LogLevel::Info, true);
                CHILD_CHECK(system.GetQueuedRecordCount() == capacity);
                overflow("dropped 4");
                Write("dropped 5", LogLevel::Info, true);

                gate->Allow(capacity * 2);
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        const std::vector<std::string> lines = ReadLines(_dir / "app.txt");
        std::vector<std::string> fills;
        std::vector<std::string> others;
        for (const std::string& line : lines)
        {
            std::string message = Member(line, "message");
            if (message.rfind("fill ", 0) == 0)
            {
                fills.push_back(message);
                continue;
            }
            others.push_back(message);
            if (message.rfind("Rate limiting", 0) == 0)
            {
                EXPECT_EQ(Member(line, "engineID"), "TestEngine");
                EXPECT_EQ(Member(line, "category"), "QOR::CoreModule");
                EXPECT_EQ(Member(line, "level"), "warning");
                EXPECT_EQ(Member(line, "line"), ":");
            }
        }
        ASSERT_EQ(fills.size(), 8192u);
        for (std::size_t i = 0; i < fills.size(); ++i)
        {
            ASSERT_EQ(fills[i], "fill " + std::to_string(i));
        }
        const std::string notice =
            "Rate limiting log messages! Rate limited messages will be dropped until next logger flush.";
        EXPECT_EQ(others, (std::vector<std::string>{"first", notice, "kept", notice}));
    }
}
