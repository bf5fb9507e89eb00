#include "qor/MultiThreading/TaskManager.h"
#include "qor/Engine/Engine.h"
#include "qor/MultiThreading/SmartThread/SmartThread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace QOR;
using ::testing::ElementsAre;

namespace
{
    class TaskManagerTest : public ::testing::Test
    {
    protected:
        std::unique_ptr<Engine> _engine = std::make_unique<Engine>("Tasks");
        TaskManager* _tasks = _engine->GetModule<TaskManager>();
    };
}

TEST_F(TaskManagerTest, ShutdownWithNothingToStopReturnsAtOnce)
{
    _tasks->Shutdown();
    _tasks->Shutdown();
    EXPECT_TRUE(_tasks->GetExecutors().empty());
    EXPECT_TRUE(_tasks->GetThreads().empty());
}

TEST_F(TaskManagerTest, ShutdownStopsTheExecutorAndJoinsItsThread)
{
    std::shared_ptr<TaskExecutorCore> core = _tasks->StartExecutor()->GetCore();
    ASSERT_EQ(_tasks->GetThreads().size(), 1u);
    EXPECT_EQ(core->GetWakeCount(), 0u);
    EXPECT_TRUE(core->IsKeepRunning());

    _tasks->Shutdown();

    EXPECT_FALSE(core->IsKeepRunning());
    EXPECT_EQ(core->GetWakeCount(), 1u);
    EXPECT_TRUE(core->IsDoneRaised());
    EXPECT_FALSE(core->IsStartRaised());
    EXPECT_TRUE(_tasks->GetThreads()[0]->IsJoined());
}

TEST_F(TaskManagerTest, AWakeIsAcknowledgedOnlyAfterItsWorkAndTheExecutorKeepsRunning)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> runs = 0;
    auto executor = _tasks->StartExecutor([&] {
        if (++runs == 1)
        {
            released.wait();
        }
    });
    std::shared_ptr<TaskExecutorCore> core = executor->GetCore();

    executor->Wake();
    // The wake lowered the done flag; the executor cannot acknowledge while its work is blocked.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(core->IsDoneRaised());
    release.set_value();
    executor->WaitUntilDone();
    EXPECT_TRUE(core->IsDoneRaised());

    // Not stopped: a second wake is served as well.
    executor->Wake();
    executor->WaitUntilDone();
    EXPECT_EQ(runs.load(), 2);
    EXPECT_TRUE(core->IsKeepRunning());

    _tasks->Shutdown();
    EXPECT_EQ(runs.load(), 3);
}

TEST_F(TaskManagerTest, TheSecondExecutorIsWokenOnlyAfterTheFirstIsDone)
{
    std::mutex orderMutex;
    std::vector<int> order;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::shared_ptr<TaskExecutorCore> firstCore;
    bool bFirstWasStoppedAndLowered = false;
    bool bFirstWasDoneWhenSecondWoke = false;

    auto first = _tasks->StartExecutor([&] {
        // Runs on the first executor's thread, inside the wake that Shutdown sent.
        bFirstWasStoppedAndLowered = !firstCore->IsKeepRunning() && !firstCore->IsDoneRaised();
        released.wait();
        const std::lock_guard lock(orderMutex);
        order.push_back(1);
    });
    firstCore = first->GetCore();
    auto second = _tasks->StartExecutor([&] {
        bFirstWasDoneWhenSecondWoke = firstCore->IsDoneRaised();
        const std::lock_guard lock(orderMutex);
        order.push_back(2);
    });

    std::thread shutdown([this] { _tasks->Shutdown(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(second->GetCore()->GetWakeCount(), 0u);
    release.set_value();
    shutdown.join();

    EXPECT_THAT(order, ElementsAre(1, 2));
    EXPECT_TRUE(bFirstWasStoppedAndLowered);
    EXPECT_TRUE(bFirstWasDoneWhenSecondWoke);
    for (const auto& thread : _tasks->GetThreads())
    {
        EXPECT_TRUE(thread->IsJoined());
    }
}

TEST_F(TaskManagerTest, ThrowingWorkIsCountedAndStillAcknowledged)
{
    auto executor = _tasks->StartExecutor([] { throw std::runtime_error("task failed"); });
    executor->Wake();
    executor->WaitUntilDone();
    EXPECT_EQ(executor->GetCore()->GetFailedWorkCount(), 1u);
    _tasks->Shutdown();
    EXPECT_EQ(executor->GetCore()->GetFailedWorkCount(), 2u);
}

TEST_F(TaskManagerTest, ASecondShutdownOnlyHandlesWhatWasAddedSince)
{
    auto first = _tasks->StartExecutor();
    _tasks->Shutdown();
    // Waking the stopped executor again would wait forever for an answer.
    auto second = _tasks->StartExecutor();
    _tasks->Shutdown();
    EXPECT_EQ(first->GetCore()->GetWakeCount(), 1u);
    EXPECT_EQ(second->GetCore()->GetWakeCount(), 1u);
    EXPECT_TRUE(_tasks->GetThreads()[1]->IsJoined());
}

TEST_F(TaskManagerTest, ShutdownJoinsPlainThreadsInListOrder)
{
    std::vector<int> order;
    _tasks->AddThread(std::make_shared<SmartThread>([&] { order.push_back(1); }));
    _tasks->AddThread(std::make_shared<SmartThread>([&] { order.push_back(2); }));
    _tasks->Shutdown();
    EXPECT_THAT(order, ElementsAre(1, 2));
}

TEST_F(TaskManagerTest, DestroyingTheEngineWithoutShutdownStillStopsAndJoins)
{
    std::shared_ptr<TaskExecutorCore> core = _tasks->StartExecutor()->GetCore();
    _engine.reset();
    EXPECT_EQ(core->GetWakeCount(), 1u);
    EXPECT_FALSE(core->IsKeepRunning());
}
