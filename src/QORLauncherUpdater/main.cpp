// QORLauncherUpdater: finishes the update the launcher has staged in ./self_update, in the
// launcher's installation directory (the current directory), and starts the launcher again.

#include "Report.h"
#include "UpdateFiles.h"
#include "platform/ProcessHardening.h"

#include <qor/Engine/Engine.h>
#include <qor/Logging/Logger.h>
#include <qor/Logging/LoggerSettings.h>
#include <qor/Utility/LauncherProtocol.h>
#include <qor/Utility/Utility.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace
{
    using namespace QOR;
    namespace Protocol = LauncherProtocol;

    constexpr std::string_view ApplicationName = "QORLauncherUpdater";
    // How long the launcher may take to exit after starting the updater.
    constexpr std::chrono::seconds LauncherExitLimit{9};
    constexpr int ExitSuccess = 0;
    constexpr int ExitFailure = 1;

    // Reports the exception being handled: an error the procedure has no report of its own for. Called
    // only from a catch block.
    void ReportUnexpected(Logger* logger, CallSite where = CallSite::Here())
    {
        ReportFailure(logger, {Failure::Unexpected, {}, CurrentExceptionText()}, where);
    }

    // The engine's logger, writing to ./log/self_updater_log.txt; nullptr when there is no log this run.
    Logger* ConfigureLogging(Engine& engine)
    {
        auto* const logger = dynamic_cast<Logger*>(engine.GetModule(Logger::GetStaticName()));
        if (logger == nullptr)
        {
            throw std::logic_error("The engine has no Logger module.");
        }
        std::string reason;
        const std::optional<std::filesystem::path> path = LogFilePath(reason);
        if (!path)
        {
            ReportLogUnavailable(reason);
            return nullptr;
        }
        LoggerSettings settings;
        settings.fileEnabled = true;
        settings.filePath = *path;
        try
        {
            logger->Configure(settings);
            return logger;
        }
        catch (const std::exception& exception)
        {
            // The log is a diagnostic, not the job: the update goes on (a failed Configure leaves the
            // logging system as it was), and failures go to the box and standard error only.
            ReportLogUnavailable(exception.what());
            return nullptr;
        }
    }

    // Only a name held by another updater means "another instance". A broken lock (a lock file that is
    // a folder, a link, a FIFO or unreadable; a name taken by another kind of object) would say so for
    // ever and is logged as what it is.
    FailureReport InstanceFailure(const MutexResult& instance)
    {
        if (IsHeldElsewhere(instance))
        {
            return Failure::SecondInstance;
        }
        return {Failure::BrokenInstanceLock, NamedMutexLocation(Protocol::UpdaterMutexName),
                instance.cause ? SystemErrorText(instance.cause) : instance.error.GetText()};
    }

    // Held until the run ends; a result without the mutex has been reported.
    MutexResult TakeSingleInstance(Logger* logger)
    {
        MutexResult instance = CreateNamedMutex(Protocol::UpdaterMutexName);
        if (!instance.mutex)
        {
            ReportFailure(logger, InstanceFailure(instance));
        }
        return instance;
    }

    // The update starts the moment the launcher's mutex is free, not at some later probe: the player
    // waits for every millisecond of it.
    bool WaitForLauncherExit(Logger* logger)
    {
        if (WaitForNamedMutexFree(Protocol::LauncherMutexName, LauncherExitLimit))
        {
            return true;
        }
        ReportFailure(logger, Failure::LauncherStillRunning);
        return false;
    }

    bool IsStarted(const LaunchResult& launched)
    {
        return !launched.error && launched.process && launched.thread;
    }

    // Starts the launcher again, as it starts the updater; a failed start has been reported.
    LaunchResult Relaunch(Logger* logger)
    {
        LaunchResult launched = LaunchProcess(Protocol::LauncherPath, "", Protocol::DetachedLaunchFlags);
        if (launched.error)
        {
            ReportFailure(logger, {Failure::LaunchFailed, {}, launched.error.GetText()});
        }
        else if (!IsStarted(launched))
        {
            ReportFailure(logger, Failure::LaunchIncomplete);
        }
        return launched;
    }

    // The procedure, on an engine that exists. The single-instance mutex is let go the moment the
    // launcher is started (after its handles are closed): a launcher may start a follow-up update at once.
    // The clean-up that follows holds the locks of the records it removes, so no second updater works on
    // them meanwhile.
    int RunUpdate(Engine& engine)
    {
        Logger* logger = nullptr;
        try
        {
            logger = ConfigureLogging(engine);
            MutexResult instance = TakeSingleInstance(logger);
            if (!instance.mutex || !WaitForLauncherExit(logger))
            {
                return ExitFailure;
            }
            Update::UpdateRun run(Update::SystemFileSystem(), SystemApplySettings());
            if (!CopyUpdateFiles(logger, run))
            {
                CleanUpUpdateFiles(run);
                return ExitFailure;
            }
            RemoveUpdateFiles(logger, run);
            const bool started = IsStarted(Relaunch(logger));
            // The update is in either way; the launcher starts meanwhile.
            instance = MutexResult{};
            CleanUpUpdateFiles(run);
            return started ? ExitSuccess : ExitFailure;
        }
        catch (...)
        {
            ReportUnexpected(logger);
        }
        return ExitFailure;
    }
}

int main()
{
    QOR::HardenProcess();
    try
    {
        // Destroyed last, after every handle of the run is gone.
        const auto engine = std::make_unique<QOR::Engine>(ApplicationName);
        return RunUpdate(*engine);
    }
    catch (...)
    {
        ReportUnexpected(nullptr);
    }
    return ExitFailure;
}
