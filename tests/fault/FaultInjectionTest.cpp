// Fault injection against the real updater, on every platform: runs killed in the middle of a large
// copy, eight updaters started at once, and file names chosen to break quoting and logging.

#include "InstallationTest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

namespace QOR::Testing
{
    namespace
    {
        using namespace std::chrono_literals;
        using ::testing::IsEmpty;
        using ::testing::StartsWith;
        using FaultTest = InstallationTest;

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
                fs::remove_all(Installed(Protocol::LogFolderName));
                fs::remove_all(Installed("bin"));
                WriteFile(Staged("bin" / name), "new");
                // The target is a folder holding a folder of the file's own name: it cannot be replaced.
                WriteFile(Installed("bin" / name / name / "keep"), "keep");

                EXPECT_EQ(RunUpdater(), 1);

                const JsonObject record = OnlyLogRecord(Log());
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

        // Kills at random moments of an update of many files: every installed file is at every moment
        // wholly old or wholly new, never missing, and the next run completes the update and leaves
        // nothing of the killed one behind.
        TEST_F(FaultTest, KillsAtRandomMomentsNeverTearOrLoseAFileAndTheRerunCompletes)
        {
            constexpr int Files = 600;
            const std::string bigOld(1u << 20, 'O');
            const std::string bigNew(3u << 20, 'N');
            const auto name = [](int i) {
                return "dir" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".dat";
            };
            const auto stage = [&] {
                fs::remove_all(Staging());
                for (int i = 0; i < Files; ++i)
                {
                    WriteFile(Staged(name(i)), "new " + std::to_string(i));
                    if (i % 2 == 0)
                    {
                        WriteFile(Installed(name(i)), "old " + std::to_string(i));
                    }
                    else
                    {
                        fs::remove(Installed(name(i)));
                    }
                }
                WriteFile(Staged("packs/big.pak"), bigNew);
                WriteFile(Installed("packs/big.pak"), bigOld);
            };
            const auto installedIsWhole = [&](bool& allNew) {
                const std::string big = ReadFile(Installed("packs/big.pak"));
                allNew = big == bigNew;
                EXPECT_TRUE(big == bigNew || big == bigOld)
                    << "the pack is torn or missing: " << big.size() << " bytes";
                for (int i = 0; i < Files; ++i)
                {
                    const std::string content = ReadFile(Installed(name(i)));
                    const std::string fresh = "new " + std::to_string(i);
                    allNew = allNew && content == fresh;
                    if (i % 2 == 0)
                    {
                        EXPECT_TRUE(content == fresh || content == "old " + std::to_string(i))
                            << name(i) << ": " << content;
                    }
                    else
                    {
                        EXPECT_TRUE(content == fresh || !fs::exists(Installed(name(i)))) << name(i) << ": " << content;
                    }
                }
            };

            // A whole run first, to learn how long an update lasts until the launcher is started (the clean-up
            // after that start changes no installed file).
            stage();
            std::chrono::milliseconds runTime{};
            {
                const auto start = std::chrono::steady_clock::now();
                TestProcess updater = StartUpdater();
                ASSERT_TRUE(WaitForLauncherStarts(1));
                runTime =
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
                ASSERT_EQ(updater.Wait(90s), std::optional<int>(0));
            }

            std::mt19937 random(std::random_device{}());
            // Kills land before the launcher is started: Wine leaves a launcher whose parent died inside
            // CreateProcess waiting forever. A kill that finds the update already in halves the longest
            // delay: on a machine whose load falls after the first run, the runs get shorter.
            long long longestDelay = std::max<long long>(runTime.count() * 3 / 4, 1);
            int killsMidway = 0;
            int round = 0;
            const auto budgetEnd = std::chrono::steady_clock::now() + 60s;
            for (; round < 20 && std::chrono::steady_clock::now() < budgetEnd; ++round)
            {
                SCOPED_TRACE("round " + std::to_string(round));
                stage();
                {
                    TestProcess updater = StartUpdater();
                    std::this_thread::sleep_for(
                        std::chrono::milliseconds(std::uniform_int_distribution<long long>(0, longestDelay)(random)));
                    updater.Kill();
                }
                bool allNew = false;
                installedIsWhole(allNew);
                killsMidway += allNew ? 0 : 1;
                longestDelay = allNew ? std::max<long long>(longestDelay / 2, 1) : longestDelay;
                if (IsUpdatePending(Dir()))
                {
                    EXPECT_EQ(RunUpdater(), 0);
                }
                else if (!LeftoverTemporaries(Dir()).empty())
                {
                    (void)RunUpdater(); // only an empty working folder, which the launcher does not see
                }
                installedIsWhole(allNew);
                EXPECT_TRUE(allNew) << "the rerun did not complete the update";
                EXPECT_FALSE(fs::exists(Staging()));
                EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty()) << testing::PrintToString(ListTree(Dir()));
                if (HasFailure())
                {
                    break;
                }
            }
            EXPECT_GE(killsMidway, 3) << "too few kills landed inside the update, of " << round << " in "
                                      << runTime.count() << " ms runs";
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
            EXPECT_EQ(LauncherStarts().size(), 1U);
            for (const auto& [path, content] : files)
            {
                EXPECT_TRUE(ReadFile(Installed(path)) == content) << path << " is not the staged version";
            }
            EXPECT_FALSE(fs::exists(Staging()));
            EXPECT_THAT(LeftoverTemporaries(Dir()), IsEmpty());
            // Every run rotates a non-empty log away when it opens it and five old logs are kept, so
            // the seven failure lines are spread over the current and the rotated files and the
            // oldest may be gone. Each line that is there must be whole and valid, even written at once.
            std::size_t records = 0;
            for (const std::string& entry : ListTree(Installed(Protocol::LogFolderName)))
            {
                SCOPED_TRACE(entry);
                for (const std::string& line : CheckedLogLines(ReadFile(Installed(Protocol::LogFolderName) / entry)))
                {
                    EXPECT_TRUE(ParseJsonObject(line).has_value()) << line;
                    ++records;
                }
            }
            EXPECT_GE(records, 1U);
            EXPECT_LE(records, 7U);
        }
    }
}
