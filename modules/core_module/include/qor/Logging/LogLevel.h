#pragma once

#include <cstdint>

namespace QOR
{
    // Severity of a record and threshold of a sink. Values outside Trace..Critical count as "off".
    enum class LogLevel : std::uint8_t
    {
        Trace,
        Debug,
        Info,
        Warning,
        Error,
        Critical
    };
}
