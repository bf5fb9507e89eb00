#include "qor/Logging/Logger.h"

#include "qor/Engine/Engine.h"
#include "qor/Logging/LoggingSystem.h"

namespace QOR
{
    Logger::Logger(EngineKey key) : Module(key)
    {
    }

    std::string_view Logger::GetStaticName()
    {
        return "Logger";
    }

    void Logger::Configure(const LoggerSettings& settings)
    {
        LoggingSystem::Get().Configure(settings);
    }

    void Logger::Log(const spdlog::source_loc& location, LogLevel level, bool bIsRateLimited,
                     const std::string& category, const std::string& message)
    {
        LoggingSystem::Get().Log(_engineID, location, level, bIsRateLimited, category, message);
    }

    void Logger::Initialize()
    {
        _engineID = GetEngine()->GetName();
        LoggingSystem::Get().AddUser();
    }

    void Logger::Shutdown()
    {
        LoggingSystem::Get().RemoveUser();
    }

    std::string_view Logger::GetEngineID() const
    {
        return _engineID;
    }
}
