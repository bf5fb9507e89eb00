#include "qor/MultiThreading/SmartThreadManager.h"

#include "qor/MultiThreading/SmartThread/SmartThread.h"

#include <vector>

namespace QOR
{
    ThreadListener::~ThreadListener()
    {
        if (_manager != nullptr && !_bIsDetached)
        {
            _manager->DetachListener(_id);
        }
    }

    void ThreadListener::OnDetached(const ListenerKey&)
    {
        _bIsDetached = true;
    }

    bool ThreadListener::IsDetached() const
    {
        return _bIsDetached;
    }

    std::string_view SmartThreadManager::GetStaticName()
    {
        return "SmartThreadManager";
    }

    SmartThreadManager::SmartThreadManager(EngineKey key) : Module(key)
    {
    }

    SmartThreadManager::~SmartThreadManager()
    {
        DetachAllListeners();
    }

    void SmartThreadManager::RegisterThread(EngineKey)
    {
        const std::unique_lock threadLock(_threadLock);
        const std::uint32_t index = _nextThreadIndex++;
        _threadIndices[std::this_thread::get_id()] = index;

        const std::lock_guard listenerLock(_listenerMutex);
        // A listener may detach itself or others while being told; walk a snapshot of the ids and
        // skip any that are gone by the time their turn comes.
        std::vector<std::uint32_t> ids;
        ids.reserve(_listeners.size());
        for (const auto& entry : _listeners)
        {
            ids.push_back(entry.first);
        }
        for (const std::uint32_t id : ids)
        {
            const auto entry = _listeners.find(id);
            if (entry != _listeners.end())
            {
                entry->second->OnThreadsChanged(_threadIndices);
            }
        }
    }

    std::uint32_t SmartThreadManager::AttachListener(ThreadListener& listener)
    {
        const std::lock_guard lock(_listenerMutex);
        const std::uint32_t id = _nextListenerId++;
        _listeners[id] = &listener;
        listener._manager = this;
        listener._id = id;
        listener._bIsDetached = false;
        return id;
    }

    void SmartThreadManager::DetachListener(std::uint32_t id)
    {
        const std::lock_guard lock(_listenerMutex);
        const auto entry = _listeners.find(id);
        if (entry == _listeners.end())
        {
            return;
        }
        ThreadListener* const listener = entry->second;
        _listeners.erase(entry);
        listener->OnDetached(ListenerKey{});
        listener->_manager = nullptr;
    }

    void SmartThreadManager::DetachAllListeners()
    {
        const std::lock_guard lock(_listenerMutex);
        std::vector<std::uint32_t> ids;
        ids.reserve(_listeners.size());
        for (const auto& entry : _listeners)
        {
            ids.push_back(entry.first);
        }
        for (const std::uint32_t id : ids)
        {
            DetachListener(id);
        }
    }

    void SmartThreadManager::Shutdown()
    {
        DetachAllListeners();
    }

    ThreadIndexTable SmartThreadManager::GetThreadIndices() const
    {
        const std::shared_lock lock(_threadLock);
        return _threadIndices;
    }

    std::optional<std::uint32_t> SmartThreadManager::GetThreadIndex(std::thread::id thread) const
    {
        const std::shared_lock lock(_threadLock);
        const auto entry = _threadIndices.find(thread);
        if (entry == _threadIndices.end())
        {
            return std::nullopt;
        }
        return entry->second;
    }

    std::uint32_t SmartThreadManager::GetNextThreadIndex() const
    {
        const std::shared_lock lock(_threadLock);
        return _nextThreadIndex;
    }

    std::size_t SmartThreadManager::GetListenerCount() const
    {
        const std::lock_guard lock(_listenerMutex);
        return _listeners.size();
    }

    std::size_t SmartThreadManager::GetThreadObjectCount() const
    {
        const std::shared_lock lock(_threadLock);
        return _threadObjects.size();
    }
}
