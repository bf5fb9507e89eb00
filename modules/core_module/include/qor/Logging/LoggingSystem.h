#pragma once

#include "qor/Logging/LogLevel.h"
#include "qor/Logging/LoggerSettings.h"

#include <spdlog/common.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace spdlog
{
    class async_logger;
    namespace details
    {
        class thread_pool;
    }
}

namespace QOR
{
    // The one logging back end of the process: two asynchronous loggers on one writer pool and queue,
    // writing one JSON object per line to the console and, when enabled, to a size-rotated file.
    // "loggerUnlimited" makes its callers wait while the queue is full; "loggerRateLimited" drops
    // records instead (announcing the first drop of each overflow with one notice).
    class LoggingSystem
    {
    public:
        // The instance, built on first use with the default settings (console only) and destroyed at
        // process exit, after every queued record has been written.
        static LoggingSystem& Get();

        LoggingSystem(const LoggingSystem&) = delete;
        LoggingSystem& operator=(const LoggingSystem&) = delete;

        // Rebuilds the sinks of both loggers; the logger objects and the pool stay. Throws on settings
        // it cannot honour (std::invalid_argument) and on failures of the logging library
        // (spdlog::spdlog_ex), leaving the previous configuration in force. Must not run while records
        // are queued or being written.
        void Configure(const LoggerSettings& settings);

        // Writes one record; never reports to the caller. The three texts are escaped as JSON needs.
        void Log(std::string_view engineID, const spdlog::source_loc& location, LogLevel level, bool bIsRateLimited,
                 std::string_view category, std::string_view message);

        void AddUser();
        // Shuts the library's registry and periodic flush down when no user is left; logging goes on.
        void RemoveUser();

        // Diagnostics.
        std::int32_t GetUserCount() const;
        std::size_t GetQueuedRecordCount() const;
        std::size_t GetQueueCapacity() const;
        LoggerSettings GetSettings() const;
        std::shared_ptr<spdlog::async_logger> GetUnlimitedLogger() const;
        std::shared_ptr<spdlog::async_logger> GetRateLimitedLogger() const;

    private:
        LoggingSystem();
        ~LoggingSystem();

        std::shared_ptr<spdlog::async_logger> CreateLogger(const std::string& name, bool bIsRateLimited,
                                                           const LoggerSettings& settings,
                                                           const std::vector<spdlog::sink_ptr>& sinks);
        std::vector<spdlog::sink_ptr> CreateSinks(const LoggerSettings& settings);

        LoggerSettings _settings;
        std::shared_ptr<spdlog::details::thread_pool> _threadPool;
        std::shared_ptr<spdlog::async_logger> _loggerUnlimited;
        std::shared_ptr<spdlog::async_logger> _loggerRateLimited;
        std::int32_t _userCount = 0;
        std::atomic<bool> _bRateLimitNoticeSent = false;
        // Capacity of the pool's queue, fixed when the pool is made.
        std::size_t _queueCapacity = 0;
        // Queue length from which rate-limited records are dropped: min(queueSize, capacity).
        std::atomic<std::size_t> _rateLimitThreshold = 0;
        // The file sink in use, reused when a reconfiguration names the same file and limits.
        spdlog::sink_ptr _fileSink;
        std::filesystem::path _fileSinkPath;
    };
}
