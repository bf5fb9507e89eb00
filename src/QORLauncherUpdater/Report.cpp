#include "Report.h"

#include <qor/Foundation/Foundation.h>
#include <qor/Foundation/Utf8.h>
#include <qor/Logging/LogLevel.h>
#include <qor/Logging/Logger.h>
#include <qor/Utility/LauncherProtocol.h>
#include <qor/Utility/Utility.h>

#include <cstdio>
#include <exception>
#include <string_view>

namespace QOR
{
    namespace
    {
        constexpr const char* LogCategory = "QOR::LauncherUpdater";
        // Failures go to the logger that never drops a line, whatever else is being logged.
        constexpr bool bIsRateLimited = false;

        void WriteToStandardError(const std::string& text) noexcept
        {
            std::fprintf(stderr, "%s: %s\n", LogCategory, text.c_str());
            std::fflush(stderr);
        }

        // `text` with its {path} and {error} replaced by what the report names.
        std::string Filled(std::string_view text, const FailureReport& report)
        {
            std::string filled;
            for (std::size_t at = 0; at < text.size();)
            {
                const std::size_t open = text.find('{', at);
                filled.append(text.substr(at, open - at));
                if (open == std::string_view::npos)
                {
                    break;
                }
                const std::string_view rest = text.substr(open);
                const std::string_view name = rest.substr(0, rest.find('}') + 1);
                filled += name == "{path}" ? report.path : name == "{error}" ? report.error : std::string(name);
                at = open + name.size();
            }
            return filled;
        }
    }

    namespace
    {
        using Update::ApplyReason;
        using Update::ApplyStep;
        using Update::PathPlace;

        std::string Shown(const Update::NativeString& path, PathPlace place, Update::FileSystem& fileSystem)
        {
            if (place == PathPlace::FileSystem)
            {
                return fileSystem.DisplayPath(path);
            }
            std::string shown = LauncherProtocol::StagingFolder;
            if (!path.empty())
            {
                shown += static_cast<char>(Update::Separator);
                shown += Update::ToUtf8(path);
            }
            return shown;
        }

        std::string ReasonText(const Update::ApplyError& error, Update::FileSystem& fileSystem)
        {
            switch (error.reason)
            {
            case ApplyReason::System:
                break;
            case ApplyReason::LeadsOutside:
                return "The staged file leads outside the update folder.";
            case ApplyReason::LandsInStaging:
                return "The staged file would be installed inside the update folder.";
            case ApplyReason::TargetIsFolder:
                return "A folder of the installation is in the way.";
            case ApplyReason::NamesCollide:
                return "Two staged names are one name in the installation: " +
                       Shown(error.otherPath, error.otherPlace, fileSystem) + " and " +
                       Shown(error.path, error.place, fileSystem) + ".";
            case ApplyReason::OwnLog:
                return "The staged file would replace the updater's own log, which an update never installs.";
            case ApplyReason::ShortName:
                return "The staged name is a short name of another file of the installation: " +
                       Shown(error.otherPath, error.otherPlace, fileSystem) + ".";
            case ApplyReason::DamagedRecord:
                return "The record of an interrupted update is damaged. Reinstall the launcher, then delete this "
                       "folder.";
            case ApplyReason::UnreadableRecord:
                return SystemErrorText(error.code) +
                       " This is the record of an interrupted update: start the updater as the user who started that "
                       "one, and it finishes the repair.";
            case ApplyReason::StagedFileLost:
                return "The staged file went missing after an interrupted update. Stage the update again.";
            }
            return SystemErrorText(error.code);
        }

        std::string NoteText(const Update::RecoveryNote& note, Update::FileSystem& fileSystem)
        {
            const std::string path = fileSystem.DisplayPath(note.path);
            switch (note.kind)
            {
            case Update::RecoveryNote::Kind::OldVersionGone:
                return path + " (its replaced version is gone, the new one stays)";
            case Update::RecoveryNote::Kind::ChangedByOthers:
                return path + " (changed by another program since, kept as it is)";
            case Update::RecoveryNote::Kind::NotPutBack:
                return path + " (" + SystemErrorText(note.code) + ")";
            case Update::RecoveryNote::Kind::WorkingFileKept:
                break;
            }
            return {};
        }
    }

    FailureReport DescribeFailure(const Update::ApplyError& error, const Update::Notes& notes,
                                  Update::FileSystem& fileSystem)
    {
        std::string text = ReasonText(error, fileSystem);
        if (!error.holders.empty())
        {
            text += " Held by: " + error.holders + ".";
        }
        const std::string left = DescribeNotes(notes, fileSystem);
        if (!left.empty())
        {
            text += " " + left;
        }
        const bool isFolder = error.step == ApplyStep::MakeFolder || error.step == ApplyStep::InstallFolder;
        return {isFolder ? Failure::FolderNotCreated : Failure::FileNotCopied,
                Shown(error.path, error.place, fileSystem), std::move(text)};
    }

    std::string DescribeNotes(const Update::Notes& notes, Update::FileSystem& fileSystem)
    {
        std::string listed;
        for (const Update::RecoveryNote& note : notes)
        {
            const std::string text = NoteText(note, fileSystem);
            if (!text.empty())
            {
                listed += (listed.empty() ? "" : "; ") + text;
            }
        }
        return listed.empty() ? listed
                              : "Left as it was after an interrupted update: " + listed +
                                    ". Starting the updater with the update staged again makes the installation whole.";
    }

    std::string BoxText(const FailureReport& report)
    {
        return Filled(TextsOf(report.failure).box, report);
    }

    std::string LogText(const FailureReport& report)
    {
        const char* const text = TextsOf(report.failure).log;
        return text == nullptr ? std::string() : Filled(text, report);
    }

    void ReportFailure(Logger* logger, const FailureReport& report, CallSite where) noexcept
    {
        try
        {
            const FailureTexts texts = TextsOf(report.failure);
            const std::string boxText = BoxText(report);
            try
            {
                ShowErrorMessageBox(SanitizeUtf8(boxText), texts.title);
            }
            catch (...)
            {
                WriteToStandardError(boxText);
            }
            if (texts.log == nullptr)
            {
                return;
            }
            const std::string logText = LogText(report);
            if (logger == nullptr)
            {
                WriteToStandardError(logText);
                return;
            }
            try
            {
                logger->Log(spdlog::source_loc{where.file, where.line, where.function}, LogLevel::Error, bIsRateLimited,
                            LogCategory, SanitizeUtf8(logText));
            }
            catch (...)
            {
                WriteToStandardError(logText);
            }
        }
        catch (...)
        {
            // Out of memory for the texts: nothing more can be said.
        }
    }

    void ReportWarning(Logger* logger, const std::string& text, CallSite where) noexcept
    {
        try
        {
            if (logger == nullptr)
            {
                WriteToStandardError(text);
                return;
            }
            logger->Log(spdlog::source_loc{where.file, where.line, where.function}, LogLevel::Warning, bIsRateLimited,
                        LogCategory, SanitizeUtf8(text));
        }
        catch (...)
        {
            // The run goes on; the next run finds the same and says it again.
        }
    }

    std::string CurrentExceptionText() noexcept
    {
        try
        {
            try
            {
                throw;
            }
            catch (const std::exception& exception)
            {
                return SanitizeUtf8(exception.what());
            }
            catch (...)
            {
            }
            return "Unknown error.";
        }
        catch (...)
        {
            return {}; // out of memory for the text itself
        }
    }

    std::string SanitizeUtf8(std::string_view text)
    {
        // The platform's own conversion already replaces every ill-formed sequence; coming back from
        // UTF-16 then gives well-formed UTF-8.
        const WideTextResult wide = Utf8ToWide(text);
        return wide.error ? std::string(text.size(), '?') : EncodeUtf8(wide.text);
    }

    std::string PathText(const std::filesystem::path& path)
    {
        return Update::ToUtf8(path.native());
    }

    void ReportLogUnavailable(const std::string& reason) noexcept
    {
        try
        {
            WriteToStandardError("No log file, failures are reported here only. Err: " + SanitizeUtf8(reason));
        }
        catch (...)
        {
            // Out of memory for the note: the run goes on all the same.
        }
    }
}
