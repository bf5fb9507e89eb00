#pragma once

// A temporary installation with the real updater and launcher in it, for the fault-injection tests.

#include "../TestProcess.h"
#include "../TestTree.h"
#include "JsonLine.h"

#include <qor/Utility/LauncherProtocol.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace QOR::Testing
{
    namespace Protocol = LauncherProtocol;

    class FaultTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            UseNoDisplay();
            fs::copy_file(QOR_UPDATER_EXE, Installed(Protocol::UpdaterFileName));
            fs::copy_file(QOR_LAUNCHER_EXE, Installed(Protocol::LauncherFileName));
        }

        fs::path Dir() const { return _folder.Path(); }
        fs::path Staging() const { return Dir() / Protocol::StagingFolderName; }
        fs::path Staged(const fs::path& relative) const { return Staging() / relative; }
        fs::path Installed(const fs::path& relative) const { return Dir() / relative; }

        // Started with `_streams` as its standard streams.
        virtual TestProcess StartUpdater()
        {
            return TestProcess(Installed(Protocol::UpdaterFileName), {}, Dir(), _streams);
        }

        // The exit code, or -1 (and a failure) when the run did not end in time.
        int RunUpdater(std::chrono::seconds timeout = std::chrono::seconds(60))
        {
            TestProcess updater = StartUpdater();
            const std::optional<int> code = updater.Wait(timeout);
            EXPECT_TRUE(code.has_value()) << "the updater did not end within " << timeout.count() << " s";
            return code.value_or(-1);
        }

        fs::path LogFile() const { return Installed(Protocol::LogFolderName) / Protocol::LogFileName; }
        std::string Log() const { return ReadFile(LogFile()); }

        // The log split into its lines; fails the test when a line is not ended by "\r\n" or holds a
        // line break of its own.
        std::vector<std::string> LogLines() const
        {
            const std::string log = Log();
            std::vector<std::string> lines;
            std::size_t start = 0;
            while (start < log.size())
            {
                const std::size_t end = log.find("\r\n", start);
                if (end == std::string::npos)
                {
                    ADD_FAILURE() << "log line without its \\r\\n ending: " << log.substr(start);
                    break;
                }
                lines.push_back(log.substr(start, end - start));
                start = end + 2;
            }
            for (const std::string& line : lines)
            {
                EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "line break inside a log line: " << line;
            }
            return lines;
        }

        // Each line of ./launcher_started.txt is one start of the launcher.
        std::size_t LauncherStarts() const
        {
            std::istringstream in(ReadFile(Installed("launcher_started.txt")));
            std::size_t count = 0;
            for (std::string line; std::getline(in, line);)
            {
                ++count;
            }
            return count;
        }

        bool WaitForLauncherStarts(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(30)) const
        {
            const auto deadline = std::chrono::steady_clock::now() + timeout;
            while (LauncherStarts() < count)
            {
                if (std::chrono::steady_clock::now() > deadline)
                {
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            return true;
        }

        StandardStreams _streams;

    private:
        TemporaryFolder _folder;
    };

    // The whole file in one read: large files compared many times stay cheap even in sanitizer builds.
    inline std::string ReadLarge(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        if (!in)
        {
            return {};
        }
        std::string content(static_cast<std::size_t>(in.tellg()), '\0');
        in.seekg(0);
        in.read(content.data(), static_cast<std::streamsize>(content.size()));
        return in ? content : std::string();
    }

    // The one log line of a failed run, parsed; fails the test unless there is exactly one valid line.
    inline std::map<std::string, std::string> OnlyLogRecord(const std::vector<std::string>& lines)
    {
        EXPECT_EQ(lines.size(), 1U);
        if (lines.empty())
        {
            return {};
        }
        const auto record = ParseJsonLine(lines.front());
        EXPECT_TRUE(record.has_value()) << "not valid JSON: " << lines.front();
        return record.value_or(std::map<std::string, std::string>{});
    }
}
