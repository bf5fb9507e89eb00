#pragma once

#include <functional>
#include <memory>
#include <thread>

namespace QOR
{
    // Handle on one of the framework's threads. It is joined exactly once; a second join is a
    // programming error that stops the program.
    class SmartThread
    {
    public:
        // A handle whose join action is supplied by the caller.
        explicit SmartThread(std::function<void()> joinAction);
        // Joins a thread that was started and never joined, so a forgotten Join cannot terminate
        // the process from std::thread's destructor.
        ~SmartThread();

        SmartThread(const SmartThread&) = delete;
        SmartThread& operator=(const SmartThread&) = delete;

        // Starts a thread running `work`; the handle's join action joins that thread.
        static std::shared_ptr<SmartThread> Start(std::function<void()> work);

        // Runs the join action. If it throws, the thread counts as not joined.
        void Join();
        bool IsJoined() const;

    private:
        SmartThread() = default;

        std::thread _thread;
        std::function<void()> _joinAction;
        bool _bIsJoined = false;
    };
}
