#include "qor/MultiThreading/SmartThread/SmartThread.h"

#include "qor/Foundation/Assert.h"

#include <utility>

namespace QOR
{
    SmartThread::SmartThread(std::function<void()> joinAction) : _joinAction(std::move(joinAction))
    {
    }

    std::shared_ptr<SmartThread> SmartThread::Start(std::function<void()> work)
    {
        std::shared_ptr<SmartThread> thread(new SmartThread());
        SmartThread* const self = thread.get();
        self->_joinAction = [self] { self->_thread.join(); };
        self->_thread = std::thread(std::move(work));
        return thread;
    }

    void SmartThread::Join()
    {
        // Joining twice is a programming error: the thread is gone and its join action may not be
        // repeatable. The flag is set only once the action has returned, so a join that threw can be
        // retried.
        QOR_ASSERT(!_bIsJoined);
        _joinAction();
        _bIsJoined = true;
    }

    bool SmartThread::IsJoined() const
    {
        return _bIsJoined;
    }

    SmartThread::~SmartThread()
    {
        if (_thread.joinable())
        {
            // The last owner may be the thread itself; it cannot join itself.
            if (_thread.get_id() == std::this_thread::get_id())
            {
                _thread.detach();
            }
            else
            {
                _thread.join();
            }
        }
    }
}
