// QORLauncherUpdater: finishes the update the launcher has staged in ./self_update, in the
// launcher's installation directory (the current directory), and starts the launcher again.

#include "ProcessHardening.h"
#include "Report.h"
#include "UpdateFiles.h"

#include <qor/Engine/Engine.h>
#include <qor/Logging/Logger.h>
#include <qor/Logging/LoggerSettings.h>
#include <qor/Utility/Utility.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace
{
    constexpr std::string_view ApplicationName = "QORLauncherUpdater";
    constexpr const char* UpdaterMutexName = "QOR_LauncherUpdater";
    constexpr const char* LauncherMutexName = "QOR_Launcher";
    // How long the launcher may take to exit after starting the updater.
    constexpr std::chrono::seconds LauncherExitLimit{9};
    constexpr const char* LauncherPath = "./QORLauncher.exe";
    // DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT: the launcher gets no console of ours.
    constexpr std::uint32_t LauncherCreationFlags = 0x408;
    constexpr const char* Title = "QOR Launcher Updater";
    constexpr int ExitSuccess = 0;
    constexpr int ExitFailure = 1;

    // An error the procedure has no own report for: shown like a failed copy, so the player knows the
    // update did not happen, and logged with what went wrong.
    void ReportUnexpected(QOR::Logger* logger, const spdlog::source_loc& where, const std::string& what)
    {
        QOR::ReportFailure(logger, where, QOR::Update::CopyFailedBoxText, Title,
                           "Unable to copy update files. Aborting application. Err: " + what);
    }

    // Only a name held by another updater means "another instance". A broken lock (a lock file that is
    // a folder, a link, a FIFO or unreadable; a name taken by another kind of object) would say so for
    // ever and is logged as what it is.
    std::string InstanceFailureLogText(const QOR::MutexResult& instance)
    {
        if (QOR::IsHeldElsewhere(instance))
        {
            return "Only one instance of LauncherUpdater can work. Aborting application.";
        }
        return "Unable to create mutex " + QOR::NamedMutexLocation(UpdaterMutexName) + ". Aborting application. Err: " +
               (instance.cause ? QOR::SystemErrorText(instance.cause) : instance.error.GetText());
    }

    // Runs the procedure on an engine that exists. The locals are declared so that leaving this
    // function closes the launcher's handles first, then gives up the single-instance mutex.
    int RunUpdate(QOR::Engine& engine)
    {
        QOR::Logger* logger = nullptr;
        QOR::LoggerSettings settings;
        QOR::MutexResult instance;
        QOR::LaunchResult launched;
        try
        {
            QOR::Logger* const module = dynamic_cast<QOR::Logger*>(engine.GetModule(QOR::Logger::GetStaticName()));
            if (module == nullptr)
            {
                ReportUnexpected(nullptr, spdlog::source_loc{__FILE__, __LINE__, "main"},
                                 "The engine has no Logger module.");
                return ExitFailure;
            }
            settings.fileEnabled = true;
            settings.filePath = QOR::Update::LogFilePath();
            try
            {
                module->Configure(settings);
                logger = module;
            }
            catch (const std::exception& exception)
            {
                // The log is a diagnostic, not the job: the update goes on (a failed Configure leaves the
                // logging system as it was), and failures go to the box and standard error only.
                QOR::ReportLogUnavailable(exception.what());
            }

            instance = QOR::CreateNamedMutex(UpdaterMutexName);
            if (!instance.mutex)
            {
                QOR::ReportFailure(logger, spdlog::source_loc{__FILE__, __LINE__, "main"},
                                   "Error: Only one instance of LauncherUpdater can work. Aborting application.",
                                   Title, InstanceFailureLogText(instance));
                return ExitFailure;
            }

            // The update starts the moment the launcher's mutex is free, not at some later probe:
            // the player waits for every millisecond of it.
            if (!QOR::WaitForNamedMutexFree(LauncherMutexName, LauncherExitLimit))
            {
                QOR::ReportFailure(logger, spdlog::source_loc{__FILE__, __LINE__, "main"},
                                   "Error: Unable to start QORLauncherUpdater while QORLauncher is already "
                                   "running. Aborting application.",
                                   "QORLauncherUpdater",
                                   "Unable to start QORLauncherUpdater while QORLauncher is already running. "
                                   "Aborting application.");
                return ExitFailure;
            }

            if (!QOR::CopyUpdateFiles(logger))
            {
                return ExitFailure;
            }
            QOR::RemoveUpdateFiles();

            launched = QOR::LaunchProcess(LauncherPath, "", LauncherCreationFlags);
            int code = ExitSuccess;
            if (launched.error)
            {
                QOR::ReportFailure(logger, spdlog::source_loc{__FILE__, __LINE__, "main"},
                                   "Error: Unable to launch QORLauncher.exe." + launched.error.GetText(), Title,
                                   "Unable to launch QORLauncher.exe." + launched.error.GetText());
                code = ExitFailure;
            }
            else if (!launched.process || !launched.thread)
            {
                QOR::ReportFailure(logger, spdlog::source_loc{__FILE__, __LINE__, "main"},
                                   "Error: Unable to launch QORLauncher.exe.", Title,
                                   "Unable to launch QORLauncher.exe.");
                code = ExitFailure;
            }
            // The update is in either way; the launcher starts meanwhile.
            QOR::RemoveReplacedFiles();
            return code;
        }
        catch (const std::exception& exception)
        {
            ReportUnexpected(logger, spdlog::source_loc{__FILE__, __LINE__, "main"},
                             QOR::Update::SanitizeUtf8(exception.what()));
        }
        catch (...)
        {
            ReportUnexpected(logger, spdlog::source_loc{__FILE__, __LINE__, "main"}, "Unknown error.");
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
    catch (const std::exception& exception)
    {
        ReportUnexpected(nullptr, spdlog::source_loc{__FILE__, __LINE__, "main"},
                         QOR::Update::SanitizeUtf8(exception.what()));
    }
    catch (...)
    {
        ReportUnexpected(nullptr, spdlog::source_loc{__FILE__, __LINE__, "main"}, "Unknown error.");
    }
    return ExitFailure;
}
