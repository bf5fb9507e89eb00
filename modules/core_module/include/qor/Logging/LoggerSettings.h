#pragma once

#include "qor/Logging/LogLevel.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace QOR
{
    // Logging configuration. A default-constructed record is the default configuration: callers copy
    // it and change what they need.
    struct LoggerSettings
    {
        // One JSON object per line; %v receives the engine ID, category and message members.
        std::string pattern = R"({"time": "%Y-%m-%dT%H:%M:%S.%f%z", "level": "%^%l%$", %v, "process": "%P", )"
                              R"("thread": "%t", "line": "%s:%#"})";
        // 0 or less: no periodic flush.
        std::int32_t flushIntervalSeconds = 5;
        bool fileEnabled = false;
        std::filesystem::path filePath = "./log/log.txt";
        LogLevel fileLevel = LogLevel::Info;
        std::int32_t maxFileSize = 5 * 1024 * 1024;
        // Kept so that settings records built by callers stay valid; nothing in the logging reads it.
        bool spareFlag = true;
        // Rotated copies kept beside the current file.
        std::int32_t maxFiles = 5;
        bool consoleEnabled = true;
        LogLevel consoleLevel = LogLevel::Info;
        // Pool size and queue capacity take effect only when the process's logging pool is created.
        std::int32_t threadCount = 1;
        std::int32_t queueSize = 8192;
    };
}
