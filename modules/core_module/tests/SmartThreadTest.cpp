#include "qor/MultiThreading/SmartThread/SmartThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

using namespace QOR;

TEST(SmartThreadTest, JoinRunsTheActionOnce)
{
    int joins = 0;
    SmartThread thread([&] { ++joins; });
    EXPECT_FALSE(thread.IsJoined());
    thread.Join();
    EXPECT_EQ(joins, 1);
    EXPECT_TRUE(thread.IsJoined());
}

TEST(SmartThreadTest, AFailedJoinLeavesTheThreadUnjoined)
{
    SmartThread empty{std::function<void()>()};
    EXPECT_THROW(empty.Join(), std::bad_function_call);
    EXPECT_FALSE(empty.IsJoined());

    int attempts = 0;
    SmartThread flaky([&] {
        if (++attempts == 1)
        {
            throw std::runtime_error("not yet");
        }
    });
    EXPECT_THROW(flaky.Join(), std::runtime_error);
    EXPECT_FALSE(flaky.IsJoined());
    flaky.Join();
    EXPECT_EQ(attempts, 2);
    EXPECT_TRUE(flaky.IsJoined());
}

TEST(SmartThreadDeathTest, ASecondJoinStopsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SmartThread thread([] {});
            thread.Join();
            thread.Join();
        },
        "Assertion failed: !_bIsJoined, file .*SmartThread\\.cpp, line ");
}

TEST(SmartThreadTest, JoinWaitsForTheStartedWork)
{
    std::atomic<bool> bIsFinished = false;
    auto thread = SmartThread::Start([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bIsFinished = true;
    });
    thread->Join();
    EXPECT_TRUE(bIsFinished);
    EXPECT_TRUE(thread->IsJoined());
}

TEST(SmartThreadTest, ReleasingAnUnjoinedStartedThreadWaitsForIt)
{
    std::atomic<bool> bIsFinished = false;
    auto thread = SmartThread::Start([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bIsFinished = true;
    });
    thread.reset();
    EXPECT_TRUE(bIsFinished);
}
