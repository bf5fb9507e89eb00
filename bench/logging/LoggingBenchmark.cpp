// Logger::Log against raw spdlog async logging with the same sinks, pattern and queue, and the cost of
// the JSON escaping. Both loggers write to their own rotating file in the current directory.
#include "qor/Engine/Engine.h"
#include "qor/Logging/JsonEscape.h"
#include "qor/Logging/Logger.h"

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace
{
    const std::string kCategory = "QOR::LauncherUpdater";
    const std::string kClean = "Unable to copy update file bin/core.dll: the process cannot access the file";
    const std::string kDirty = R"(Unable to copy "./self_update\bin\core.dll" to ".\bin\core.dll":)"
                               "\r\nThe process cannot access the file.";
    const spdlog::source_loc kLocation{"/src/QORLauncherUpdater/main.cpp", 60, "main"};
    // As the updater logs its failures: on the logger that never drops a line.
    constexpr bool kIsRateLimited = false;

    QOR::LoggerSettings BenchSettings(const char* file)
    {
        QOR::LoggerSettings settings;
        settings.consoleEnabled = false;
        settings.fileEnabled = true;
        settings.filePath = std::filesystem::path("bench_logs") / file;
        return settings;
    }

    QOR::Logger& OurLogger()
    {
        static QOR::Engine engine("QORLauncherUpdater");
        static QOR::Logger* logger = [] {
            auto* module = engine.GetModule<QOR::Logger>();
            module->Configure(BenchSettings("ours.txt"));
            return module;
        }();
        return *logger;
    }

    // The same construction as the logging system's unlimited logger, on a pool of its own.
    spdlog::async_logger& RawLogger()
    {
        static std::shared_ptr<spdlog::async_logger> logger = [] {
            const QOR::LoggerSettings settings = BenchSettings("raw.txt");
            auto pool = std::make_shared<spdlog::details::thread_pool>(static_cast<std::size_t>(settings.queueSize),
                                                                       static_cast<std::size_t>(settings.threadCount));
            auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                settings.filePath.native(), static_cast<std::size_t>(settings.maxFileSize),
                static_cast<std::size_t>(settings.maxFiles), true);
            auto raw = std::make_shared<spdlog::async_logger>("raw", sink, pool, spdlog::async_overflow_policy::block);
            raw->set_formatter(std::make_unique<spdlog::pattern_formatter>(settings.pattern,
                                                                           spdlog::pattern_time_type::local, "\r\n"));
            static std::shared_ptr<spdlog::details::thread_pool> keptPool = pool;
            return raw;
        }();
        return *logger;
    }

    void OursLog(const std::string& message)
    {
        OurLogger().Log(kLocation, QOR::LogLevel::Error, kIsRateLimited, kCategory, message);
    }

    void RawLog(const std::string& message)
    {
        const std::string_view engineID = "QOR_Engine";
        RawLogger().log(kLocation, spdlog::level::err, R"("engineID": "{}", "category": "{}", "message": "{}")",
                        engineID, kCategory, message);
    }

    using LogFunction = void (*)(const std::string&);

    void Throughput(benchmark::State& state, LogFunction LogOne, const std::string& message)
    {
        for (auto _ : state)
        {
            LogOne(message);
        }
        state.SetItemsProcessed(state.iterations());
    }

    // Per-call latency: every call timed on its own, percentiles reported as counters (nanoseconds).
    void Latency(benchmark::State& state, LogFunction LogOne, const std::string& message)
    {
        std::vector<std::int64_t> samples;
        samples.reserve(1 << 20);
        for (auto _ : state)
        {
            const auto start = std::chrono::steady_clock::now();
            LogOne(message);
            const auto end = std::chrono::steady_clock::now();
            samples.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
        }
        std::sort(samples.begin(), samples.end());
        const auto percentile = [&](double p) {
            return static_cast<double>(samples[static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1))]);
        };
        state.counters["p50_ns"] = percentile(0.50);
        state.counters["p99_ns"] = percentile(0.99);
        state.SetItemsProcessed(state.iterations());
    }

    void Escape(benchmark::State& state, const std::string& message)
    {
        std::string buffer;
        for (auto _ : state)
        {
            buffer.clear();
            if (QOR::NeedsJsonEscaping(message))
            {
                QOR::AppendJsonEscaped(buffer, message);
            }
            benchmark::DoNotOptimize(buffer.data());
        }
        state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(message.size()));
    }

    void Setup()
    {
        std::filesystem::create_directories("bench_logs");
        OurLogger();
        RawLogger();
    }
}

BENCHMARK_CAPTURE(Throughput, raw_spdlog_clean, &RawLog, kClean)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(Throughput, logger_clean, &OursLog, kClean)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(Throughput, raw_spdlog_dirty, &RawLog, kDirty)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(Throughput, logger_dirty, &OursLog, kDirty)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(Latency, raw_spdlog_clean, &RawLog, kClean)->UseRealTime()->Iterations(1000000);
BENCHMARK_CAPTURE(Latency, logger_clean, &OursLog, kClean)->UseRealTime()->Iterations(1000000);
BENCHMARK_CAPTURE(Escape, clean, kClean);
BENCHMARK_CAPTURE(Escape, dirty, kDirty);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    Setup();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
