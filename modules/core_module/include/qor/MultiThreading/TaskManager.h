#pragma once

#include "qor/Engine/Module.h"

#include <atomic>
#include <condition_variable>
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

    private:
        Signal _startSignal;
        Signal _doneSignal;
        // Written by the stopping thread and read by the executor's thread outside the signals'
        // mutexes, so it must be atomic.
        std::atomic<bool> _bKeepRunning = true;
        std::atomic<std::size_t> _wakeCount = 0;
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

        // Starts an executor on a new thread and adds both to the lists.
        std::shared_ptr<TaskExecutor> AddExecutor();
        // Adds an executor and a thread that were made elsewhere.
        void AddExecutor(std::shared_ptr<TaskExecutor> executor);
        void AddThread(std::shared_ptr<SmartThread> thread);

        // Stops every executor in list order (each confirms before the next is woken), then joins
        // every thread in list order.
        void Shutdown() override;
        bool IsThreaded() const override;
        std::set<std::string_view> GetDependencies() const override;

        const std::vector<std::shared_ptr<SmartThread>>& GetThreads() const;
        const std::vector<std::shared_ptr<TaskExecutor>>& GetExecutors() const;
        bool IsShutDown() const;

    private:
        void StopAndJoin();

        std::vector<std::shared_ptr<SmartThread>> _threads;
        std::vector<std::shared_ptr<TaskExecutor>> _executors;
        bool _bIsShutDown = false;
    };
}
