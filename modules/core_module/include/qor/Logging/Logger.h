#pragma once

#include "qor/Engine/Module.h"
#include "qor/Logging/LogLevel.h"
#include "qor/Logging/LoggerSettings.h"

#include <spdlog/common.h>

#include <string>
#include <string_view>

namespace QOR
{
    // The engine's handle on the process-wide LoggingSystem: every record logged through it carries
    // the module's engine ID.
    class Logger : public Module
    {
    public:
        explicit Logger(EngineKey key);

        static std::string_view GetStaticName();

        // Configures the process-wide system (the same for every Logger). May throw; see LoggingSystem.
        void Configure(const LoggerSettings& settings);
        void Log(const spdlog::source_loc& location, LogLevel level, bool bIsRateLimited, const std::string& category,
                 const std::string& message);

        // Takes the engine's name as engine ID and counts the module in.
        void Initialize() override;
        void Shutdown() override;

        std::string_view GetEngineID() const;

    private:
        // Points at a literal or at the engine's own name, both of which outlive the module.
        std::string_view _engineID = "QOR_Engine";
    };
}
