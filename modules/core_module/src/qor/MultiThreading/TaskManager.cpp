#include "qor/MultiThreading/TaskManager.h"

#include "qor/MultiThreading/SmartThread/SmartThread.h"

#include <utility>

namespace QOR
{
    TaskExecutorCore::TaskExecutorCore(std::function<void()> work) : _work(std::move(work))
    {
    }

    void TaskExecutorCore::StopRunning()
    {
        _bKeepRunning = false;
    }

    void TaskExecutorCore::Wake()
    {
        // The done mutex is held across the whole step, so the executor cannot acknowledge between
        // the raising of the start flag and the lowering of the done flag: the next WaitUntilDone
        // waits for the completion of this wake.
        const std::lock_guard doneLock(_doneSignal.mutex);
        const std::lock_guard startLock(_startSignal.mutex);
        _startSignal.flag = true;
        _startSignal.condition.notify_one();
        _doneSignal.flag = false;
    }

    void TaskExecutorCore::WaitUntilDone()
    {
        std::unique_lock lock(_doneSignal.mutex);
        _doneSignal.condition.wait(lock, [this] { return _doneSignal.flag; });
    }

    void TaskExecutorCore::Run()
    {
        for (;;)
        {
            {
                std::unique_lock lock(_startSignal.mutex);
                _startSignal.condition.wait(lock, [this] { return _startSignal.flag; });
                _startSignal.flag = false;
            }
            ++_wakeCount;
            const bool bKeepRunning = _bKeepRunning;
            if (_work)
            {
                // An escaping exception would terminate the process and leave the waker hanging;
                // the wake is acknowledged either way and the failure counted.
                try
                {
                    _work();
                }
                catch (...)
                {
                    ++_failedWorkCount;
                }
            }
            {
                const std::lock_guard lock(_doneSignal.mutex);
                _doneSignal.flag = true;
                _doneSignal.condition.notify_all();
            }
            if (!bKeepRunning)
            {
                return;
            }
        }
    }

    bool TaskExecutorCore::IsKeepRunning() const
    {
        return _bKeepRunning;
    }

    bool TaskExecutorCore::IsStartRaised()
    {
        const std::lock_guard lock(_startSignal.mutex);
        return _startSignal.flag;
    }

    bool TaskExecutorCore::IsDoneRaised()
    {
        const std::lock_guard lock(_doneSignal.mutex);
        return _doneSignal.flag;
    }

    std::size_t TaskExecutorCore::GetWakeCount() const
    {
        return _wakeCount;
    }

    std::size_t TaskExecutorCore::GetFailedWorkCount() const
    {
        return _failedWorkCount;
    }

    TaskExecutor::TaskExecutor(std::shared_ptr<TaskExecutorCore> core) : _core(std::move(core))
    {
    }

    void TaskExecutor::StopRunning()
    {
        _core->StopRunning();
    }

    void TaskExecutor::Wake()
    {
        _core->Wake();
    }

    void TaskExecutor::WaitUntilDone()
    {
        _core->WaitUntilDone();
    }

    const std::shared_ptr<TaskExecutorCore>& TaskExecutor::GetCore() const
    {
        return _core;
    }

    std::string_view TaskManager::GetStaticName()
    {
        return "TaskManager";
    }

    TaskManager::TaskManager(EngineKey key) : Module(key)
    {
    }

    TaskManager::~TaskManager()
    {
        // Destroying a joinable thread would terminate the process, and an executor left waiting
        // would never end: finish the handshake here if nobody shut the module down.
        try
        {
            TaskManager::Shutdown();
        }
        catch (...)
        {
            // A thread whose join action failed is joined by its own handle when it is released.
        }
    }

    std::shared_ptr<TaskExecutor> TaskManager::StartExecutor(std::function<void()> work)
    {
        auto core = std::make_shared<TaskExecutorCore>(std::move(work));
        auto executor = std::make_shared<TaskExecutor>(core);
        // The thread shares the core, so the handshake state outlives every handle on it.
        auto thread = SmartThread::Start([core] { core->Run(); });
        _executors.push_back(executor);
        _threads.push_back(std::move(thread));
        return executor;
    }

    void TaskManager::AddExecutor(std::shared_ptr<TaskExecutor> executor)
    {
        _executors.push_back(std::move(executor));
    }

    void TaskManager::AddThread(std::shared_ptr<SmartThread> thread)
    {
        _threads.push_back(std::move(thread));
    }

    void TaskManager::Shutdown()
    {
        for (; _stoppedExecutorCount < _executors.size(); ++_stoppedExecutorCount)
        {
            TaskExecutor& executor = *_executors[_stoppedExecutorCount];
            executor.StopRunning();
            executor.Wake();
            executor.WaitUntilDone();
        }
        for (const auto& thread : _threads)
        {
            if (!thread->IsJoined())
            {
                thread->Join();
            }
        }
    }

    bool TaskManager::IsThreaded() const
    {
        return true;
    }

    std::set<std::string_view> TaskManager::GetDependencies() const
    {
        return {"SmartThreadManager"};
    }

    const std::vector<std::shared_ptr<SmartThread>>& TaskManager::GetThreads() const
    {
        return _threads;
    }

    const std::vector<std::shared_ptr<TaskExecutor>>& TaskManager::GetExecutors() const
    {
        return _executors;
    }
}
