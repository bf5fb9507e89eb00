#pragma once

#include "qor/Engine/Module.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace QOR
{
    class SmartThread;
    class SmartThreadManager;

    using ThreadIndexTable = std::unordered_map<std::thread::id, std::uint32_t>;

    // Proof handed to ThreadListener::OnDetached that the manager is the caller.
    class ListenerKey
    {
    public:
        virtual ~ListenerKey() = default;

    private:
        friend class SmartThreadManager;
        ListenerKey() = default;
    };

    // Told about every thread registration. The manager never owns a listener; a listener that is
    // destroyed while still attached detaches itself first, so the manager never calls a dead one.
    class ThreadListener
    {
    public:
        ThreadListener() = default;
        virtual ~ThreadListener();

        ThreadListener(const ThreadListener&) = delete;
        ThreadListener& operator=(const ThreadListener&) = delete;

        // Runs on the registering thread with the manager's locks held: it must not wait for
        // another thread that is registering. `threads` already holds the new thread.
        virtual void OnThreadsChanged(const ThreadIndexTable& threads) = 0;

        void OnDetached(const ListenerKey& key);
        bool IsDetached() const;

    private:
        friend class SmartThreadManager;

        std::atomic<bool> _bIsDetached = false;
        SmartThreadManager* _manager = nullptr;
        std::uint32_t _id = 0;
    };

    // Numbers the framework's threads in order of registration and tells listeners about them.
    class SmartThreadManager : public Module
    {
    public:
        static std::string_view GetStaticName();

        explicit SmartThreadManager(EngineKey key);
        ~SmartThreadManager() override;

        // Gives the calling thread the next index (indices are never reused).
        void RegisterThread(EngineKey key);

        // Returns the id the listener is registered under.
        std::uint32_t AttachListener(ThreadListener& listener);
        // An id that is not registered is ignored.
        void DetachListener(std::uint32_t id);
        void DetachAllListeners();

        void Shutdown() override;

        ThreadIndexTable GetThreadIndices() const;
        std::optional<std::uint32_t> GetThreadIndex(std::thread::id thread) const;
        std::uint32_t GetNextThreadIndex() const;
        std::size_t GetListenerCount() const;
        std::size_t GetThreadObjectCount() const;

    private:
        mutable std::shared_mutex _threadLock;
        std::uint32_t _nextThreadIndex = 0;
        std::unordered_map<std::uint32_t, std::shared_ptr<SmartThread>> _threadObjects;
        ThreadIndexTable _threadIndices;
        mutable std::recursive_mutex _listenerMutex;
        std::unordered_map<std::uint32_t, ThreadListener*> _listeners;
        std::uint32_t _nextListenerId = 0;
    };
}
