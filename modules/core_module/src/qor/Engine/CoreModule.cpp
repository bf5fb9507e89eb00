#include "qor/Engine/CoreModule.h"

#include "qor/Engine/Engine.h"
#include "qor/Logging/Logger.h"
#include "qor/MultiThreading/SmartThreadManager.h"
#include "qor/MultiThreading/TaskManager.h"
#include "qor/VirtualFileSystem/VirtualFileSystemManager.h"

namespace QOR
{
    // Each module is registered and created before the next one is made, so a module's OnCreated
    // can find every module installed before it.
    void CoreModule::InstallModules(EngineKey)
    {
        Engine* const engine = GetEngine();
        engine->AddModule<Logger>();
        engine->AddModule<SmartThreadManager>();
        engine->AddModule<VirtualFileSystemManager>();
        engine->AddModule<TaskManager>();
    }

    std::string_view CoreModule::GetName() const
    {
        return "CoreModule";
    }
}
