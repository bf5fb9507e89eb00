#pragma once

// A GoogleTest fixture for the tests that run the real programs: a temporary installation with the
// updater and the launcher in it. The including target names the two in QOR_UPDATER_EXE and
// QOR_LAUNCHER_EXE.

#include "JsonReader.h"
#include "TestProcess.h"
#include "TestTree.h"

#include <qor/Utility/LauncherProtocol.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace QOR::Testing
{
    namespace Protocol = LauncherProtocol;

    // The lines of a log; fails the test when one is not ended by "\r\n" or holds a line break of its own.
    inline std::vector<std::string> CheckedLogLines(const std::string& log)
    {
        std::optional<std::vector<std::string>> lines = SplitLogLines(log);
        EXPECT_TRUE(lines.has_value()) << "a log line without its \\r\\n ending or with a line break inside: " << log;
        return lines.value_or(std::vector<std::string>{});
    }

    // The one line of the log of a failed run, parsed; fails the test unless there is exactly one valid line.
    inline JsonObject OnlyLogRecord(const std::string& log)
    {
        const std::vector<std::string> lines = CheckedLogLines(log);
        if (lines.size() != 1)
        {
            ADD_FAILURE() << "not exactly one log line: " << log;
            return {};
        }
        const std::optional<JsonObject> record = ParseJsonObject(lines.front());
        EXPECT_TRUE(record.has_value()) << "not valid JSON: " << lines.front();
        return record.value_or(JsonObject{});
    }

    class InstallationTest : public ::testing::Test, public TemporaryInstallation
    {
    protected:
        void SetUp() override
        {
            UseNoDisplay();
            fs::copy_file(QOR_UPDATER_EXE, Installed(Protocol::UpdaterFileName));
            fs::copy_file(QOR_LAUNCHER_EXE, Installed(Protocol::LauncherFileName));
        }

        // Started with `_streams` as its standard streams.
        virtual TestProcess StartUpdater()
        {
            return TestProcess(Installed(Protocol::UpdaterFileName), {}, Dir(), _streams);
        }

        // The exit code, or -1 (and a failure) when the run did not end in time.
        int RunUpdater(std::chrono::seconds timeout = std::chrono::seconds(90))
        {
            TestProcess updater = StartUpdater();
            const std::optional<int> code = updater.Wait(timeout);
            EXPECT_TRUE(code.has_value()) << "the updater did not end within " << timeout.count() << " s";
            return code.value_or(-1);
        }

        fs::path LogFile() const { return Installed(Protocol::LogFolderName) / Protocol::LogFileName; }
        std::string Log() const { return ReadFile(LogFile()); }
        std::vector<std::string> LogLines() const { return CheckedLogLines(Log()); }
        // The message of the one log line of a failed run.
        std::string LoggedMessage() const { return OnlyLogRecord(Log())["message"]; }

        // Each line of ./launcher_started.txt is one start of the launcher.
        std::vector<std::string> LauncherStarts() const
        {
            std::vector<std::string> lines;
            std::istringstream in(ReadFile(Installed("launcher_started.txt")));
            for (std::string line; std::getline(in, line);)
                lines.push_back(line);
            return lines;
        }

        bool WaitForLauncherStarts(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(60)) const
        {
            return WaitUntil([&] { return LauncherStarts().size() >= count; }, timeout);
        }

        StandardStreams _streams;
    };
}
