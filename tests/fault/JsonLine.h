#pragma once

// The updater's log lines read by the logging tests' strict JSON reader: one flat object of string
// members (RFC 8259 syntax, well-formed UTF-8 only), with each member name once. Anything else is
// rejected, so a line that a log collector would choke on fails the test.

#include "JsonTestParser.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace QOR::Testing
{
    inline std::optional<std::map<std::string, std::string>> ParseJsonLine(std::string_view line)
    {
        std::optional<QOR::Test::JsonMembers> members = QOR::Test::ParseJsonObject(line);
        if (!members)
        {
            return std::nullopt;
        }
        std::map<std::string, std::string> byName;
        for (auto& [name, value] : *members)
        {
            if (!byName.emplace(std::move(name), std::move(value)).second)
            {
                return std::nullopt;
            }
        }
        return byName;
    }
}
