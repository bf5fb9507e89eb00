#pragma once

// A strict reader for the log's lines, as strict as a log collector may be: one JSON object whose
// members are all strings, each name once, in RFC 8259 syntax (no raw control characters, only the
// defined escapes, no lone surrogates) and well-formed UTF-8 only. Anything else is refused, so a line a
// collector would choke on fails the test.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace QOR::Testing
{
    using JsonObject = std::map<std::string, std::string>;

    std::optional<JsonObject> ParseJsonObject(std::string_view text);

    // One JSON string, quotation marks included, with nothing before or after it: its text in UTF-8.
    std::optional<std::string> ParseJsonString(std::string_view text);

    // The lines of a log, each ended by "\r\n"; nothing when one lacks that ending or holds a line break
    // of its own.
    std::optional<std::vector<std::string>> SplitLogLines(std::string_view log);
}
