#pragma once

#include "qor/Engine/EngineObject.h"

#include <memory>
#include <mutex>
#include <set>
#include <string_view>

namespace QOR
{
    // Per-module run state. Its flag may be touched from any thread, hence the mutex.
    class ModuleState : public EngineObject
    {
    public:
        explicit ModuleState(EngineKey key);

        bool IsStopRequested() const;

    private:
        friend class Module;

        bool _bIsStopRequested = false;
        mutable std::mutex _mutex;
    };

    // Base of the engine's named system modules. Every concrete module also provides
    // `static std::string_view GetStaticName()`, the name it is registered under.
    class Module : public EngineObject
    {
    public:
        explicit Module(EngineKey key);
        ~Module() override;

        // Creates the module's state; overrides must call this first.
        void OnCreated(EngineKey key) override;
        // The engine never calls Initialize, Update or Shutdown: it has no run cycle, because its program runs
        // one procedure and exits, and every module cleans up in its destructor. A host that wants them calls them.
        virtual void Initialize();
        virtual void Update();
        // Safe from any thread; the request is never withdrawn.
        virtual void RequestStop();
        virtual void Shutdown();
        virtual bool IsThreaded() const;
        virtual std::set<std::string_view> GetDependencies() const;

        // Null until OnCreated has run.
        const ModuleState* GetState() const;

    private:
        std::unique_ptr<ModuleState> _state;
    };
}
