#include "Report.h"

#include "UpdateFiles.h"

#include <qor/Logging/LogLevel.h>
#include <qor/Logging/Logger.h>
#include <qor/Utility/Utility.h>

#include <cstdio>
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
                ShowErrorMessageBox(Update::SanitizeUtf8(boxText), texts.title);
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
                            LogCategory, Update::SanitizeUtf8(logText));
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

    void ReportLogUnavailable(const std::string& reason) noexcept
    {
        try
        {
            WriteToStandardError("No log file, failures are reported here only. Err: " + Update::SanitizeUtf8(reason));
        }
        catch (...)
        {
            // Out of memory for the note: the run goes on all the same.
        }
    }
}
