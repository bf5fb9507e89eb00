#include "UpdateFiles.h"

#include "Report.h"
#include "apply/PathRules.h"
#include "platform/ProcessHardening.h"

#include <qor/Utility/LauncherProtocol.h>

namespace QOR
{
    namespace
    {
        namespace Protocol = LauncherProtocol;
        using Update::SystemFileSystem;
    }

    Update::ApplySettings SystemApplySettings()
    {
        Update::ApplySettings settings;
        settings.planner.updaterName = Update::FromAscii(Protocol::UpdaterFileName);
        settings.planner.updaterId = RunningProgramId();
        settings.planner.logPath =
            Update::Join(Update::FromAscii(Protocol::LogFolderName), Update::FromAscii(Protocol::LogFileName));
        return settings;
    }

    bool CopyUpdateFiles(Logger* logger, Update::UpdateRun& run)
    {
        try
        {
            const Update::ApplyResult failed = run.Apply();
            if (failed)
            {
                ReportFailure(logger, DescribeFailure(*failed, run.GetNotes(), SystemFileSystem()));
                return false;
            }
            const std::string left = DescribeNotes(run.GetNotes(), SystemFileSystem());
            if (!left.empty())
            {
                ReportWarning(logger, left);
            }
            return true;
        }
        catch (...)
        {
            ReportFailure(logger, {Failure::FileNotCopied, Protocol::StagingFolder, CurrentExceptionText()});
        }
        return false;
    }

    void RemoveUpdateFiles(Logger* logger, const Update::UpdateRun& run)
    {
        if (!run.IsStagingLeft())
        {
            return;
        }
        try
        {
            Update::FileSystem& fileSystem = SystemFileSystem();
            Update::NativeString root;
            if (fileSystem.InstallationRoot(root))
            {
                ReportFailure(logger, {Failure::StagingNotRemoved, Protocol::StagingFolder});
                return;
            }
            const Update::NativeString staging = Update::Join(root, Update::FromAscii(Protocol::StagingFolderName));
            Update::RetryPolicy retry(fileSystem);
            if (retry.Run(staging, [&] { return Update::RemoveTree(fileSystem, staging); }))
            {
                ReportFailure(logger, {Failure::StagingNotRemoved, fileSystem.DisplayPath(staging)});
            }
        }
        catch (...)
        {
            ReportFailure(logger, {Failure::StagingNotRemoved, Protocol::StagingFolder});
        }
    }

    void CleanUpUpdateFiles(Update::UpdateRun& run) noexcept
    {
        try
        {
            EnterBackgroundMode();
            (void)run.CleanUp();
        }
        catch (...)
        {
            // What is left is removed by the next run.
        }
    }

    std::optional<std::filesystem::path> LogFilePath(std::string& reason)
    {
        try
        {
            Update::FileSystem& fileSystem = SystemFileSystem();
            Update::NativeString root;
            if (fileSystem.InstallationRoot(root))
            {
                root = Update::FromAscii(".");
            }
            const Update::NativeString folder = Update::Join(root, Update::FromAscii(Protocol::LogFolderName));
            const Update::NativeString file = Update::Join(folder, Update::FromAscii(Protocol::LogFileName));
            Update::EntryStatus status;
            if (!fileSystem.StatusFollowingLinks(file, status) && status.type != Update::EntryType::Missing &&
                status.type != Update::EntryType::File)
            {
                reason = fileSystem.DisplayPath(file) + " is not a regular file.";
                return std::nullopt;
            }
            if (root == Update::FromAscii("."))
            {
                return std::filesystem::path(Protocol::LogFilePath);
            }
            (void)fileSystem.MakeFolder(folder); // a failure is the logging's to report
            return std::filesystem::path(file);
        }
        catch (const std::exception& exception)
        {
            reason = exception.what();
            return std::nullopt;
        }
    }
}
