#pragma once

#include "qor/Engine/Module.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

namespace QOR
{
    class SmartThread;

    // A flag that one thread raises and another waits for.
    struct Signal
    {
        std::mutex mutex;
        bool flag = false;
        std::condition_variable condition;
    };

    // Handshake state shared by an executor's handle and its thread.
    // Lock order: the done signal's mutex, then the start signal's mutex.
    class TaskExecutorCore
    {
    public:
        // `work` runs on the executor's thread after every wake, before the wake is acknowledged.
        explicit TaskExecutorCore(std::function<void()> work = {});

        void StopRunning();
        void Wake();
        void WaitUntilDone();

        // The executor thread's loop: wait for a wake, acknowledge it, and leave after the wake
        // that follows StopRunning.
        void Run();

        bool IsKeepRunning() const;
        bool IsStartRaised();
        bool IsDoneRaised();
        std::size_t GetWakeCount() const;
        std::size_t GetFailedWorkCount() const;

    private:
        std::function<void()> _work;
        Signal _startSignal;
        Signal _doneSignal;
        // Written by the stopping thread and read by the executor's thread outside the signals'
        // mutexes, so it must be atomic.
        std::atomic<bool> _bKeepRunning = true;
        std::atomic<std::size_t> _wakeCount = 0;
        std::atomic<std::size_t> _failedWorkCount = 0;
    };

    // Handle on one executor; its thread shares the core.
    class TaskExecutor
    {
    public:
        explicit TaskExecutor(std::shared_ptr<TaskExecutorCore> core);

        void StopRunning();
        void Wake();
        void WaitUntilDone();

        const std::shared_ptr<TaskExecutorCore>& GetCore() const;

    private:
        std::shared_ptr<TaskExecutorCore> _core;
    };

    // Owns the framework's task executors and their threads.
    class TaskManager : public Module
    {
    public:
        static std::string_view GetStaticName();

        explicit TaskManager(EngineKey key);
        // Stops and joins whatever Shutdown has not, so no executor thread outlives the module.
        ~TaskManager() override;

        // Starts an executor running `work` after each wake on a new thread, and adds both to the
        // lists.
        std::shared_ptr<TaskExecutor> StartExecutor(std::function<void()> work = {});
        // Adds an executor or a thread that was made elsewhere. The executor's thread must run the
        // core's loop, or Shutdown waits for it forever.
        void AddExecutor(std::shared_ptr<TaskExecutor> executor);
        void AddThread(std::shared_ptr<SmartThread> thread);

        // Stops every executor in list order (each confirms before the next is woken), then joins
        // every thread in list order. Executors already stopped and threads already joined by an
        // earlier call are skipped: waking a stopped executor would wait forever for an answer.
        void Shutdown() override;
        bool IsThreaded() const override;
        std::set<std::string_view> GetDependencies() const override;

        const std::vector<std::shared_ptr<SmartThread>>& GetThreads() const;
        const std::vector<std::shared_ptr<TaskExecutor>>& GetExecutors() const;

    private:
        std::vector<std::shared_ptr<SmartThread>> _threads;
        std::vector<std::shared_ptr<TaskExecutor>> _executors;
        // Executors before this position have confirmed their stop.
        std::size_t _stoppedExecutorCount = 0;
    };
}
