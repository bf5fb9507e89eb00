#include "qor/Logging/LoggingSystem.h"

#include "qor/Logging/JsonEscape.h"

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace QOR
{
    namespace
    {
        // File names go to the library in the platform's native form (UTF-16 on Windows), so a log
        // file under a non-ASCII user folder opens without a lossy code-page conversion.
        static_assert(std::is_same_v<spdlog::filename_t, std::filesystem::path::string_type>,
                      "spdlog must take native file names (define SPDLOG_WCHAR_FILENAMES on Windows)");

        constexpr const char* kUnlimitedName = "loggerUnlimited";
        constexpr const char* kRateLimitedName = "loggerRateLimited";
        constexpr int kMaxThreads = 1000;        // the library's own limit
        constexpr int kMaxRotatedFiles = 200000; // the library's own limit

        spdlog::level::level_enum ToSpdlogLevel(LogLevel level) noexcept
        {
            switch (level)
            {
            case LogLevel::Trace:
                return spdlog::level::trace;
            case LogLevel::Debug:
                return spdlog::level::debug;
            case LogLevel::Info:
                return spdlog::level::info;
            case LogLevel::Warning:
                return spdlog::level::warn;
            case LogLevel::Error:
                return spdlog::level::err;
            case LogLevel::Critical:
                return spdlog::level::critical;
            }
            return spdlog::level::off;
        }

        // Settings the library would accept but that cannot work: a queue without room makes every
        // unlimited caller wait for ever, negative sizes wrap to huge unsigned values.
        void CheckSettings(const LoggerSettings& settings)
        {
            if (settings.queueSize < 1)
            {
                throw std::invalid_argument("LoggerSettings: queueSize must be at least 1");
            }
            if (settings.threadCount < 1 || settings.threadCount > kMaxThreads)
            {
                throw std::invalid_argument("LoggerSettings: threadCount must be 1 to 1000");
            }
            if (settings.fileEnabled)
            {
                if (settings.maxFileSize < 1)
                {
                    throw std::invalid_argument("LoggerSettings: maxFileSize must be at least 1");
                }
                if (settings.maxFiles < 0 || settings.maxFiles > kMaxRotatedFiles)
                {
                    throw std::invalid_argument("LoggerSettings: maxFiles must be 0 to 200000");
                }
            }
        }

        std::filesystem::path ComparablePath(const std::filesystem::path& path)
        {
            std::error_code error;
            std::filesystem::path absolute = std::filesystem::absolute(path, error);
            return (error ? path : absolute).lexically_normal();
        }

        // The text as it may stand inside a JSON string: the original when it is clean (no copy),
        // otherwise its escaped form in the storage.
        std::string_view JsonText(std::string_view text, std::string& storage)
        {
            if (!NeedsJsonEscaping(text))
            {
                return text;
            }
            AppendJsonEscaped(storage, text);
            return storage;
        }

        // The library strips only its platform's separator; a Windows path logged on Linux would keep
        // its backslashes, which are not valid JSON. The base name points into the caller's text, which
        // must outlive the record anyway (the queue keeps only the pointer).
        spdlog::source_loc WithBaseName(const spdlog::source_loc& location) noexcept
        {
            spdlog::source_loc result = location;
            if (location.filename != nullptr)
            {
                for (const char* c = location.filename; *c != '\0'; ++c)
                {
                    if (*c == '/' || *c == '\\')
                    {
                        result.filename = c + 1;
                    }
                }
            }
            return result;
        }

        void WriteRecord(spdlog::async_logger& logger, const spdlog::source_loc& location,
                         spdlog::level::level_enum level, std::string_view engineID, std::string_view category,
                         std::string_view message)
        {
            // Below the logger's level nothing is escaped, formatted or queued.
            if (!logger.should_log(level))
            {
                return;
            }
            std::string engineIDStorage;
            std::string categoryStorage;
            std::string messageStorage;
            try
            {
                engineID = JsonText(engineID, engineIDStorage);
                category = JsonText(category, categoryStorage);
                message = JsonText(message, messageStorage);
            }
            catch (const std::bad_alloc&)
            {
                return; // a record that cannot be made whole is not written half-made
            }
            logger.log(WithBaseName(location), level, R"("engineID": "{}", "category": "{}", "message": "{}")",
                       engineID, category, message);
        }
    }

    LoggingSystem& LoggingSystem::Get()
    {
        static LoggingSystem instance;
        return instance;
    }

    LoggingSystem::LoggingSystem()
    {
        Configure(LoggerSettings{});
    }

    LoggingSystem::~LoggingSystem()
    {
        spdlog::shutdown();
        _fileSink.reset();
        _loggerRateLimited.reset();
        _loggerUnlimited.reset();
        // The pool's destructor queues one stop per writer thread behind every pending record and joins
        // the threads, so all records queued before exit reach their sinks, which close afterwards.
        _threadPool.reset();
    }

    void LoggingSystem::Configure(const LoggerSettings& settings)
    {
        CheckSettings(settings);
        LoggerSettings newSettings = settings;
        std::vector<spdlog::sink_ptr> sinks = CreateSinks(newSettings);

        std::shared_ptr<spdlog::async_logger> unlimited = CreateLogger(kUnlimitedName, false, newSettings, sinks);
        std::shared_ptr<spdlog::async_logger> rateLimited = CreateLogger(kRateLimitedName, true, newSettings, sinks);
        std::filesystem::path fileSinkPath =
            newSettings.fileEnabled ? ComparablePath(newSettings.filePath) : std::filesystem::path();
        // Everything that can fail (this one starts a thread) comes before the loggers change, so a
        // failed Configure leaves the previous configuration whole and in use.
        spdlog::flush_every(std::chrono::seconds(std::max(newSettings.flushIntervalSeconds, 0)));

        if (_loggerUnlimited && _loggerRateLimited)
        {
            // The stored objects keep their identity; the temporaries take the previous sinks with them.
            _loggerUnlimited->swap(*unlimited);
            _loggerRateLimited->swap(*rateLimited);
        }
        else
        {
            // Only the unlimited logger is registered: the periodic flush posts through each registered
            // logger with that logger's overflow policy, and a flush posted with "overrun oldest" could
            // push an unlimited record out of a full queue. Both share their sinks, so this one flush
            // covers the rate-limited records too.
            spdlog::register_logger(unlimited);
            _loggerUnlimited = std::move(unlimited);
            _loggerRateLimited = std::move(rateLimited);
        }

        _fileSink = newSettings.fileEnabled ? sinks.back() : nullptr;
        _fileSinkPath = std::move(fileSinkPath);
        _rateLimitThreshold.store(std::min(static_cast<std::size_t>(newSettings.queueSize), _queueCapacity));
        _settings = std::move(newSettings);
    }

    std::vector<spdlog::sink_ptr> LoggingSystem::CreateSinks(const LoggerSettings& settings)
    {
        // One sink of each kind, shared by both loggers: two file sinks on one path would interleave
        // partial writes and rotate the file under each other.
        std::vector<spdlog::sink_ptr> sinks;
        if (settings.consoleEnabled)
        {
            // Automatic colour mode: colour codes only when standard output is a terminal, so piped
            // output stays plain JSON lines.
            auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
            console->set_level(ToSpdlogLevel(settings.consoleLevel));
            sinks.push_back(std::move(console));
        }
        if (settings.fileEnabled)
        {
            spdlog::sink_ptr file;
            const std::filesystem::path path = ComparablePath(settings.filePath);
            if (_fileSink && path == _fileSinkPath && settings.maxFileSize == _settings.maxFileSize &&
                settings.maxFiles == _settings.maxFiles)
            {
                // Reopening the file in use would rotate it away from under the live sink (and fails
                // on Windows, where an open file cannot be renamed).
                file = _fileSink;
            }
            else
            {
                file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                    settings.filePath.native(), static_cast<std::size_t>(settings.maxFileSize),
                    static_cast<std::size_t>(settings.maxFiles), true);
            }
            file->set_level(ToSpdlogLevel(settings.fileLevel));
            sinks.push_back(std::move(file));
        }
        return sinks;
    }

    std::shared_ptr<spdlog::async_logger> LoggingSystem::CreateLogger(const std::string& name, bool bIsRateLimited,
                                                                      const LoggerSettings& settings,
                                                                      const std::vector<spdlog::sink_ptr>& sinks)
    {
        if (!_threadPool)
        {
            spdlog::init_thread_pool(static_cast<std::size_t>(settings.queueSize),
                                     static_cast<std::size_t>(settings.threadCount), [] {});
            _threadPool = spdlog::thread_pool();
            _queueCapacity = static_cast<std::size_t>(settings.queueSize);
        }
        auto logger = std::make_shared<spdlog::async_logger>(
            name, sinks.begin(), sinks.end(), _threadPool,
            bIsRateLimited ? spdlog::async_overflow_policy::overrun_oldest : spdlog::async_overflow_policy::block);
        logger->set_formatter(
            std::make_unique<spdlog::pattern_formatter>(settings.pattern, spdlog::pattern_time_type::local, "\r\n"));
        return logger;
    }

    void LoggingSystem::Log(std::string_view engineID, const spdlog::source_loc& location, LogLevel level,
                            bool bIsRateLimited, std::string_view category, std::string_view message)
    {
        const spdlog::level::level_enum mappedLevel = ToSpdlogLevel(level);
        if (!bIsRateLimited)
        {
            WriteRecord(*_loggerUnlimited, location, mappedLevel, engineID, category, message);
            return;
        }
        // Decided before the level test, so even a discarded Trace record re-arms or triggers the notice.
        if (_threadPool->queue_size() >= _rateLimitThreshold.load(std::memory_order_relaxed))
        {
            if (_bRateLimitNoticeSent.exchange(true))
            {
                return;
            }
            std::string engineIDStorage;
            _loggerUnlimited->log(spdlog::source_loc{}, spdlog::level::warn,
                                  R"("engineID": "{}", "category": "QOR::CoreModule", "message": "Rate limiting log )"
                                  R"(messages! Rate limited messages will be dropped until next logger flush.")",
                                  JsonText(engineID, engineIDStorage));
            return;
        }
        WriteRecord(*_loggerRateLimited, location, mappedLevel, engineID, category, message);
        _bRateLimitNoticeSent.store(false);
    }

    void LoggingSystem::AddUser()
    {
        ++_userCount;
    }

    void LoggingSystem::RemoveUser()
    {
        --_userCount;
        if (_userCount <= 0)
        {
            // Our own references keep the loggers and the pool alive; only the periodic flush stops.
            spdlog::shutdown();
        }
    }

    std::int32_t LoggingSystem::GetUserCount() const
    {
        return _userCount;
    }

    std::size_t LoggingSystem::GetQueuedRecordCount() const
    {
        return _threadPool->queue_size();
    }

    std::size_t LoggingSystem::GetQueueCapacity() const
    {
        return _queueCapacity;
    }

    LoggerSettings LoggingSystem::GetSettings() const
    {
        return _settings;
    }

    std::shared_ptr<spdlog::async_logger> LoggingSystem::GetUnlimitedLogger() const
    {
        return _loggerUnlimited;
    }

    std::shared_ptr<spdlog::async_logger> LoggingSystem::GetRateLimitedLogger() const
    {
        return _loggerRateLimited;
    }
}
