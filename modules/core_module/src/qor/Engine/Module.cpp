#include "qor/Engine/Module.h"

#include "qor/Foundation/Assert.h"

namespace QOR
{
    ModuleState::ModuleState(EngineKey key) : EngineObject(key)
    {
    }

    bool ModuleState::IsStopRequested() const
    {
        const std::lock_guard lock(_mutex);
        return _bIsStopRequested;
    }

    Module::Module(EngineKey key) : EngineObject(key)
    {
    }

    Module::~Module() = default;

    void Module::OnCreated(EngineKey key)
    {
        auto state = std::make_unique<ModuleState>(key);
        state->SetEngine(key, GetEngine());
        state->OnCreated(key);
        _state = std::move(state);
    }

    void Module::Initialize()
    {
    }

    void Module::Update()
    {
    }

    void Module::RequestStop()
    {
        // A module that was never created has no state to record the request in.
        QOR_ASSERT(_state != nullptr);
        const std::lock_guard lock(_state->_mutex);
        _state->_bIsStopRequested = true;
    }

    void Module::Shutdown()
    {
    }

    bool Module::IsThreaded() const
    {
        return false;
    }

    std::set<std::string_view> Module::GetDependencies() const
    {
        return {};
    }

    const ModuleState* Module::GetState() const
    {
        return _state.get();
    }
}
