#include "TestModules.h"

#include "qor/MultiThreading/SmartThreadManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace QOR;
using namespace QOR::Testing;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

namespace
{
    class RecordingListener : public ThreadListener
    {
    public:
        void OnThreadsChanged(const ThreadIndexTable& threads) override
        {
            seen.push_back(threads);
            if (onChange)
            {
                onChange();
            }
        }

        std::vector<ThreadIndexTable> seen;
        std::function<void()> onChange;
    };

    class SmartThreadManagerTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            // The recording module hands out the key the engine passes to OnCreated, which the
            // registration operation requires.
            _engine->AddModule<Alpha>();
            _key = CapturedKey();
            ASSERT_TRUE(_key.has_value());
        }

        void RegisterOnNewThread(std::thread::id* id = nullptr)
        {
            std::thread thread([&] {
                if (id != nullptr)
                {
                    *id = std::this_thread::get_id();
                }
                _threads->RegisterThread(*_key);
            });
            thread.join();
        }

        std::unique_ptr<Engine> _engine = std::make_unique<Engine>("Threads");
        SmartThreadManager* _threads = _engine->GetModule<SmartThreadManager>();
        std::optional<EngineKey> _key;
    };
}

TEST_F(SmartThreadManagerTest, ReRegistrationKeepsOneEntryAndNeverReusesAnIndex)
{
    _threads->RegisterThread(*_key);
    EXPECT_THAT(_threads->GetThreadIndices(), UnorderedElementsAre(Pair(std::this_thread::get_id(), 1u)));
    EXPECT_EQ(_threads->GetNextThreadIndex(), 2u);

    std::thread::id other;
    RegisterOnNewThread(&other);
    EXPECT_THAT(_threads->GetThreadIndices(),
                UnorderedElementsAre(Pair(std::this_thread::get_id(), 1u), Pair(other, 2u)));
}

TEST_F(SmartThreadManagerTest, ConcurrentRegistrationsGetUniqueConsecutiveIndices)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
    {
        threads.emplace_back([this] { _threads->RegisterThread(*_key); });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    std::vector<std::uint32_t> indices;
    for (const auto& entry : _threads->GetThreadIndices())
    {
        indices.push_back(entry.second);
    }
    std::sort(indices.begin(), indices.end());
    EXPECT_EQ(indices, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(_threads->GetNextThreadIndex(), 9u);
}

TEST_F(SmartThreadManagerTest, EveryListenerSeesTheTableWithTheNewThread)
{
    RecordingListener first;
    RecordingListener second;
    RecordingListener third;
    const std::uint32_t id = _threads->AttachListener(first);
    EXPECT_NE(_threads->AttachListener(second), id);
    _threads->AttachListener(third);

    std::thread::id other;
    RegisterOnNewThread(&other);

    for (const RecordingListener* listener : {&first, &second, &third})
    {
        ASSERT_EQ(listener->seen.size(), 1u);
        EXPECT_THAT(listener->seen[0], UnorderedElementsAre(Pair(std::this_thread::get_id(), 0u), Pair(other, 1u)));
    }
}

TEST_F(SmartThreadManagerTest, ShutdownDetachesListenersAndLeavesThemAlive)
{
    RecordingListener first;
    RecordingListener second;
    _threads->AttachListener(first);
    _threads->AttachListener(second);

    _threads->Shutdown();

    EXPECT_TRUE(first.IsDetached());
    EXPECT_TRUE(second.IsDetached());
    EXPECT_EQ(_threads->GetListenerCount(), 0u);
    RegisterOnNewThread();
    EXPECT_TRUE(first.seen.empty());

    // Nothing left to detach: a second shutdown and an unknown id change nothing.
    _threads->Shutdown();
    _threads->DetachListener(12345);
    EXPECT_EQ(_threads->GetListenerCount(), 0u);
}

TEST_F(SmartThreadManagerTest, DestroyingTheEngineDetachesListeners)
{
    RecordingListener listener;
    _threads->AttachListener(listener);
    _engine.reset();
    EXPECT_TRUE(listener.IsDetached());
}

TEST_F(SmartThreadManagerTest, ListenersMayDetachDuringANotificationOrDieWhileAttached)
{
    RecordingListener self;
    RecordingListener victim;
    auto doomed = std::make_unique<RecordingListener>();
    const std::uint32_t selfId = _threads->AttachListener(self);
    const std::uint32_t victimId = _threads->AttachListener(victim);
    _threads->AttachListener(*doomed);
    doomed.reset();
    EXPECT_EQ(_threads->GetListenerCount(), 2u);

    // Whichever of the two is told first detaches both; the other must not be called afterwards.
    self.onChange = [&] {
        _threads->DetachListener(selfId);
        _threads->DetachListener(victimId);
    };
    victim.onChange = self.onChange;
    RegisterOnNewThread();

    EXPECT_EQ(self.seen.size() + victim.seen.size(), 1u);
    EXPECT_EQ(_threads->GetListenerCount(), 0u);
    EXPECT_TRUE(self.IsDetached());
    EXPECT_TRUE(victim.IsDetached());
}
