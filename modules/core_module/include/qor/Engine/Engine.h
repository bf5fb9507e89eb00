#pragma once

#include "qor/Engine/CoreModule.h"
#include "qor/Engine/EngineKey.h"
#include "qor/Engine/Module.h"
#include "qor/Foundation/Assert.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace QOR
{
    // The application's central object: owns the system modules and the core modules by name.
    // Built, queried and destroyed on one thread; the registries are not locked.
    class Engine
    {
    public:
        // Builds the standard module set and registers the calling thread as thread 0.
        explicit Engine(std::string_view name);
        virtual ~Engine();

        Engine(const Engine&) = delete;
        Engine& operator=(const Engine&) = delete;

        std::string_view GetName() const;
        bool IsRunning() const;

        template<class T>
        void AddCoreModule();

        template<class T>
        std::shared_ptr<T> AddModule();

        // Stores the module under the name (replacing and releasing an earlier one) and binds it.
        void RegisterModule(std::string_view name, std::shared_ptr<Module> module);

        // Throws std::out_of_range when no system module has that name. Never sees core modules.
        Module* GetModule(std::string_view name);

        template<class T>
        T* GetModule();

        std::vector<std::string_view> GetModuleNames() const;
        std::vector<std::string_view> GetCoreModuleNames() const;

    private:
        // Registry keys are owned copies, so a caller's temporary name can never leave a dangling key.
        struct NameHash
        {
            using is_transparent = void;
            std::size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
        };
        template<class T>
        using Registry = std::unordered_map<std::string, std::shared_ptr<T>, NameHash, std::equal_to<>>;

        Registry<Module> _modules;
        Registry<CoreModuleBase> _coreModules;
        std::recursive_mutex _mutex;
        // Stays false: there is no run cycle (see Module's hooks).
        bool _bIsRunning = false;
        std::string _name;
    };

    template<class T>
    void Engine::AddCoreModule()
    {
        QOR_ASSERT(!_bIsRunning);
        std::shared_ptr<CoreModuleBase> module(new T(EngineKey{}));
        module->SetEngine(EngineKey{}, this);
        const std::string_view name = module->GetName();
        module->OnCreated(EngineKey{});
        module->InstallModules(EngineKey{});
        // Registered only now, so every module it installed is already in place.
        std::shared_ptr<CoreModuleBase> previous = std::exchange(_coreModules[std::string(name)], std::move(module));
    }

    template<class T>
    std::shared_ptr<T> Engine::AddModule()
    {
        QOR_ASSERT(!_bIsRunning);
        std::shared_ptr<T> result(new T(EngineKey{}));
        result->SetEngine(EngineKey{}, this);
        RegisterModule(T::GetStaticName(), result);
        try
        {
            result->OnCreated(EngineKey{});
        }
        catch (...)
        {
            // A module whose creation failed must not stay findable half-built.
            const auto entry = _modules.find(T::GetStaticName());
            if (entry != _modules.end() && entry->second == result)
            {
                _modules.erase(entry);
            }
            throw;
        }
        return result;
    }

    template<class T>
    T* Engine::GetModule()
    {
        return static_cast<T*>(GetModule(T::GetStaticName()));
    }
}
