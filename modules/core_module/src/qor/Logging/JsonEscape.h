#pragma once

#include <string>
#include <string_view>

namespace QOR
{
    // Tells whether the text must be rewritten to stand inside a JSON string: it holds a quotation
    // mark, a backslash, a control character (below U+0020) or bytes that are not well-formed UTF-8.
    // Text for which this is false is already a valid JSON string body and is used unchanged.
    bool NeedsJsonEscaping(std::string_view text) noexcept;

    // Appends the text to the buffer as a JSON string body (without the quotation marks): \" \\ \n \r
    // \t, other control characters as \u00xx, and every maximal ill-formed UTF-8 subpart as U+FFFD
    // (the same replacement as Python's decode("utf-8", "replace")). Everything else is copied as is.
    void AppendJsonEscaped(std::string& buffer, std::string_view text);
}
