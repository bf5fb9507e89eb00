#include "Report.h"

#include "UpdateFiles.h"

#include <qor/Logging/LogLevel.h>
#include <qor/Logging/Logger.h>
#include <qor/Utility/Utility.h>

#include <cstdio>

namespace QOR
{
    namespace
    {
        void WriteToStandardError(const std::string& text) noexcept
        {
            std::fprintf(stderr, "%s: %s\n", Update::LogCategory, text.c_str());
            std::fflush(stderr);
        }
    }

    void ShowBox(const std::string& boxText, const std::string& title)
    {
        try
        {
            ShowErrorMessageBox(Update::SanitizeUtf8(boxText), Update::SanitizeUtf8(title));
        }
        catch (...)
        {
            WriteToStandardError(boxText);
        }
    }

    void ReportFailure(Logger* logger, const spdlog::source_loc& where, const std::string& boxText,
                       const std::string& title, const std::string& logText)
    {
        ShowBox(boxText, title);
        if (logger == nullptr)
        {
            WriteToStandardError(logText);
            return;
        }
        try
        {
            logger->Log(where, LogLevel::Error, false, Update::LogCategory, Update::SanitizeUtf8(logText));
        }
        catch (...)
        {
            WriteToStandardError(logText);
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
