#include "qor/Engine/Engine.h"

#include "qor/MultiThreading/SmartThreadManager.h"

#include <stdexcept>

namespace QOR
{
    Engine::Engine(std::string_view name) : _name(name)
    {
        AddCoreModule<CoreModule>();
        GetModule<SmartThreadManager>()->RegisterThread(EngineKey{});
    }

    // The registries release the modules; no module hook runs on the way out.
    Engine::~Engine() = default;

    std::string_view Engine::GetName() const
    {
        return _name;
    }

    bool Engine::IsRunning() const
    {
        return _bIsRunning;
    }

    void Engine::RegisterModule(std::string_view name, std::shared_ptr<Module> module)
    {
        Module* const bound = module.get();
        // The replaced module is released only after the registry is consistent again, so its
        // destructor may safely look at the engine.
        std::shared_ptr<Module> previous;
        const auto entry = _modules.find(name);
        if (entry == _modules.end())
        {
            _modules.emplace(std::string(name), std::move(module));
        }
        else
        {
            previous = std::exchange(entry->second, std::move(module));
        }
        if (bound != nullptr)
        {
            bound->SetEngine(EngineKey{}, this);
        }
    }

    Module* Engine::GetModule(std::string_view name)
    {
        const auto entry = _modules.find(name);
        if (entry == _modules.end())
        {
            throw std::out_of_range("invalid unordered_map<K, T> key");
        }
        return entry->second.get();
    }

    std::vector<std::string_view> Engine::GetModuleNames() const
    {
        std::vector<std::string_view> names;
        names.reserve(_modules.size());
        for (const auto& entry : _modules)
        {
            names.emplace_back(entry.first);
        }
        return names;
    }

    std::vector<std::string_view> Engine::GetCoreModuleNames() const
    {
        std::vector<std::string_view> names;
        names.reserve(_coreModules.size());
        for (const auto& entry : _coreModules)
        {
            names.emplace_back(entry.first);
        }
        return names;
    }
}
