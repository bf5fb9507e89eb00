#pragma once

#include "qor/Engine/EngineObject.h"

#include <string_view>

namespace QOR
{
    // A core module's only job is to add system modules to the engine that created it.
    class CoreModuleBase : public EngineObject
    {
    public:
        using EngineObject::EngineObject;

        virtual void InstallModules(EngineKey key) = 0;
        virtual std::string_view GetName() const = 0;
    };

    // Installs the standard module set.
    class CoreModule : public CoreModuleBase
    {
    public:
        using CoreModuleBase::CoreModuleBase;

        void InstallModules(EngineKey key) override;
        std::string_view GetName() const override;
    };
}
