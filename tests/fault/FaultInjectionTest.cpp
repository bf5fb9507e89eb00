// Fault injection against the real updater, on every platform: runs killed in the middle of a large
// copy, eight updaters started at once, and file names chosen to break quoting and logging.

#include "FaultFixture.h"

#include <UpdateFiles.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace QOR::Testing
{
    namespace
    {
        using namespace std::chrono_literals;
        using ::testing::IsEmpty;
        using ::testing::StartsWith;

        constexpr bool WindowsNames = fs::path::preferred_separator == '\\';

        // A path from raw UTF-8 bytes (kept as they are where names are bytes).
        fs::path PathFromBytes(const std::string& bytes)
        {
            if constexpr (sizeof(fs::path::value_type) == 1)
            {
                return fs::path(bytes);
            }
            else
            {
                return fs::path(std::u8string(bytes.begin(), bytes.end()));
            }
        }

        // Names that break naive quoting, argument parsing, JSON and line-based logs. Where the
        // system allows it: quotes, backslashes, control characters and bytes that are not UTF-8.
        std::vector<std::string> HostileNames()
        {
            std::vector<std::string> names = {
                "-leading-dash.dll",
                "--help",
                " leading space and  two inner.txt",
                "emoji \xF0\x9F\x98\x80 pack.pak",
                "quote's {braces} %s %n $HOME.txt",
            };
            if (!WindowsNames)
            {
                names.push_back("double\"quote\".txt");
                names.push_back("back\\slash\\.txt");
                names.push_back("new\nline.txt");
                names.push_back("tab\there.txt");
                names.push_back("cr\r\n{\"level\": \"fake\"}.txt");
                names.push_back("invalid \xFF\xFE utf8.bin");
            }
            return names;
        }

        // The name as the log shows it: bytes that are not UTF-8 become U+FFFD each.
        std::string LoggedName(const std::string& name)
        {
            std::string out;
            for (const char c : name)
            {
                const auto byte = static_cast<unsigned char>(c);
                if (byte == 0xFF || byte == 0xFE)
                {
                    out += "\xEF\xBF\xBD";
                }
                else
                {
                    out += c;
                }
            }
            return out;
        }

        TEST_F(FaultTest, HostileNamesAreCopiedByteForByte)
        {
            const std::vector<std::string> names = HostileNames();
            const auto content = [&](std::size_t i, const char* where) {
                return where + std::string(1000 + i, static_cast<char>('a' + i)) + names[i];
            };
            for (std::size_t i = 0; i < names.size(); ++i)
            {
                const fs::path name = PathFromBytes(names[i]);
                WriteFile(Staged(name), content(i, "root"));
                // The same name as folders on the way down.
                WriteFile(Staged("nested" / name / name), content(i, "nested"));
            }

            EXPECT_EQ(RunUpdater(), 0);

            for (std::size_t i = 0; i < names.size(); ++i)
            {
                const fs::path name = PathFromBytes(names[i]);
                EXPECT_EQ(ReadFile(Installed(name)), content(i, "root")) << names[i];
                EXPECT_EQ(ReadFile(Installed("nested" / name / name)), content(i, "nested")) << names[i];
            }
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
            EXPECT_THAT(LogLines(), IsEmpty());
        }

        TEST_F(FaultTest, FailureOnAHostileNameGivesOneValidJsonLine)
        {
            const std::string separator{static_cast<char>(fs::path::preferred_separator)};
            for (const std::string& raw : HostileNames())
            {
                SCOPED_TRACE(raw);
                const fs::path name = PathFromBytes(raw);
                fs::remove_all(Installed("log"));
                fs::remove_all(Installed("bin"));
                WriteFile(Staged("bin" / name), "new");
                // The target is a folder holding a folder of the file's own name: it cannot be replaced.
                WriteFile(Installed("bin" / name / name / "keep"), "keep");

                EXPECT_EQ(RunUpdater(), 1);

                const auto record = OnlyLogRecord(LogLines());
                EXPECT_EQ(record.count("time"), 1U);
                EXPECT_EQ(record.count("line"), 1U);
                EXPECT_EQ(record.count("level") ? record.at("level") : "", "error");
                EXPECT_EQ(record.count("category") ? record.at("category") : "", "QOR::LauncherUpdater");
                EXPECT_THAT(record.count("message") ? record.at("message") : "",
                            StartsWith("Unable to copy update files. Aborting application. File:./self_update" +
                                       separator + "bin" + separator + LoggedName(raw) + ". Err: "));
                EXPECT_EQ(ReadFile(Staged("bin" / name)), "new");
                EXPECT_EQ(ReadFile(Installed("bin" / name / name / "keep")), "keep");
                fs::remove_all(Staging());
            }
        }

        TEST_F(FaultTest, KillsDuringALargeCopyNeverTearAFileAndTheRerunCompletes)
        {
            const std::size_t newSize = 8u << 20;
            const std::size_t oldSize = 3u << 20;
            const std::string fresh(newSize, 'N');
            const std::string old(oldSize, 'O');
            const fs::path big = "packs/big.pak";
            const fs::path temporary = Update::TemporaryPathFor(Installed(big));
            const auto stage = [&] {
                fs::remove_all(Staging());
                WriteFile(Staged("a.txt"), "a");
                WriteFile(Staged(big), fresh);
                WriteFile(Staged("z/z.txt"), "z");
                WriteFile(Installed(big), old);
            };
            const auto startAndAwaitTheCopy = [&](TestProcess& updater) {
                const auto deadline = std::chrono::steady_clock::now() + 30s;
                while (!fs::exists(temporary) && std::chrono::steady_clock::now() < deadline)
                {
                    if (updater.Wait(0ms))
                    {
                        return false;
                    }
                    std::this_thread::sleep_for(1ms);
                }
                return fs::exists(temporary);
            };

            // A whole run first, to learn how long the copy of the pack lasts.
            stage();
            std::chrono::milliseconds copyTime{};
            {
                TestProcess updater = StartUpdater();
                ASSERT_TRUE(startAndAwaitTheCopy(updater)) << "the copy of the large file was never seen";
                const auto copyStart = std::chrono::steady_clock::now();
                while (fs::exists(temporary) && !updater.Wait(0ms))
                {
                    std::this_thread::sleep_for(1ms);
                }
                // Kills land while the pack is written, not later while the launcher is being started:
                // Wine leaves a launcher whose parent died inside CreateProcess waiting forever.
                copyTime = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - copyStart);
                ASSERT_EQ(updater.Wait(60s), std::optional<int>(0));
                ASSERT_TRUE(ReadLarge(Installed(big)) == fresh) << "the whole run did not install the pack";
            }

            std::mt19937 random(std::random_device{}());
            std::uniform_int_distribution<long long> delay(0, std::max<long long>(copyTime.count(), 1));
            int killsDuringTheCopy = 0;
            const auto budgetEnd = std::chrono::steady_clock::now() + 45s;
            for (int attempt = 0; killsDuringTheCopy < 20 && attempt < 60 && std::chrono::steady_clock::now() < budgetEnd;
                 ++attempt)
            {
                SCOPED_TRACE("attempt " + std::to_string(attempt));
                if (!fs::exists(Staged(big)))
                {
                    stage();
                }
                TestProcess updater = StartUpdater();
                if (!startAndAwaitTheCopy(updater))
                {
                    continue;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
                if (!updater.Wait(0ms))
                {
                    ++killsDuringTheCopy;
                }
                updater.Kill();

                const std::string installed = ReadLarge(Installed(big));
                EXPECT_TRUE(installed == fresh || installed == old)
                    << "torn file: " << installed.size() << " bytes after a kill";
                const bool allNew = installed == fresh && ReadFile(Installed("a.txt")) == "a" &&
                                    ReadFile(Installed("z/z.txt")) == "z";
                if (!allNew)
                {
                    // Until every file is copied and flushed, the staging tree stays whole.
                    EXPECT_TRUE(ReadLarge(Staged(big)) == fresh) << "the staged pack changed";
                    EXPECT_EQ(ReadFile(Staged("a.txt")), "a");
                    EXPECT_EQ(ReadFile(Staged("z/z.txt")), "z");
                }
                if (HasFailure())
                {
                    break;
                }
            }
            EXPECT_GE(killsDuringTheCopy, 20) << "too few kills landed inside the copy";

            if (!fs::exists(Staging()))
            {
                stage();
            }
            EXPECT_EQ(RunUpdater(), 0);
            EXPECT_TRUE(ReadLarge(Installed(big)) == fresh) << "the rerun did not install the pack";
            EXPECT_EQ(ReadFile(Installed("a.txt")), "a");
            EXPECT_EQ(ReadFile(Installed("z/z.txt")), "z");
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
        }

        TEST_F(FaultTest, EightUpdatersAtOnceStartTheLauncherOnceAndInstallCorrectly)
        {
            std::vector<std::pair<fs::path, std::string>> files;
            for (int i = 0; i < 24; ++i)
            {
                files.emplace_back(fs::path("dir" + std::to_string(i % 4)) / ("file" + std::to_string(i) + ".dat"),
                                   std::string(static_cast<std::size_t>(1000 * (i + 1)), static_cast<char>('A' + i)));
            }
            files.emplace_back("packs/large.pak", std::string(8u << 20, 'L'));
            for (const auto& [path, content] : files)
            {
                WriteFile(Staged(path), content);
                WriteFile(Installed(path), "old");
            }

            std::vector<TestProcess> updaters;
            for (int i = 0; i < 8; ++i)
            {
                updaters.push_back(StartUpdater());
            }
            std::vector<int> codes;
            for (TestProcess& updater : updaters)
            {
                codes.push_back(updater.Wait(60s).value_or(-1));
            }

            EXPECT_EQ(std::count(codes.begin(), codes.end(), 0), 1);
            EXPECT_EQ(std::count(codes.begin(), codes.end(), 1), 7);
            ASSERT_TRUE(WaitForLauncherStarts(1));
            std::this_thread::sleep_for(2s);
            EXPECT_EQ(LauncherStarts(), 1U);
            for (const auto& [path, content] : files)
            {
                EXPECT_TRUE(ReadLarge(Installed(path)) == content) << path << " is not the staged version";
            }
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
            // Every run rotates a non-empty log away when it opens it and five old logs are kept, so
            // the seven failure lines are spread over the current and the rotated files and the
            // oldest may be gone. Each line that is there must be whole and valid, even written at once.
            std::size_t records = 0;
            for (const std::string& entry : ListTree(Installed("log")))
            {
                const std::string log = ReadFile(Installed("log") / entry);
                std::size_t start = 0;
                for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
                {
                    const std::string line = log.substr(start, end - start);
                    EXPECT_TRUE(ParseJsonLine(line).has_value()) << entry << ": " << line;
                    ++records;
                }
                EXPECT_EQ(start, log.size()) << entry << " ends inside a line";
            }
            EXPECT_GE(records, 1U);
            EXPECT_LE(records, 7U);
        }
    }
}
