// The log line's JSON escaping: whatever the text, the escaped form inside quotation marks is one
// valid JSON string (checked by a strict parser written here), and decoding it gives back the text,
// with U+FFFD for each ill-formed UTF-8 subpart. The quick check agrees with the rewrite.

#include "ReferenceUtf8.h"

#include "qor/Logging/JsonEscape.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace
{
    using QOR::Fuzzing::Fail;

    std::optional<std::uint32_t> ParseHex4(std::string_view text, std::size_t at)
    {
        if (at + 4 > text.size())
            return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < 4; ++k)
        {
            const char c = text[at + k];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= static_cast<std::uint32_t>(c - 'A' + 10);
            else
                return std::nullopt;
        }
        return value;
    }

    // RFC 8259 string, nothing before or after it, and only well-formed UTF-8 inside. Returns the code
    // points, or nothing when the text is not exactly one valid JSON string.
    std::optional<std::vector<char32_t>> ParseJsonString(std::string_view text)
    {
        if (text.size() < 2 || text.front() != '"')
            return std::nullopt;
        std::vector<char32_t> out;
        std::size_t i = 1;
        for (;;)
        {
            if (i >= text.size())
                return std::nullopt; // unterminated
            const auto c = static_cast<std::uint8_t>(text[i]);
            if (c == '"')
                return i + 1 == text.size() ? std::optional(out) : std::nullopt;
            if (c < 0x20)
                return std::nullopt;
            if (c >= 0x80)
            {
                // Exactly one well-formed sequence must start here.
                std::size_t length = 0;
                for (const auto& shape : QOR::Fuzzing::WellFormed)
                {
                    std::size_t matched = 0;
                    while (matched < shape.length && i + matched < text.size() &&
                           static_cast<std::uint8_t>(text[i + matched]) >= shape.low[matched] &&
                           static_cast<std::uint8_t>(text[i + matched]) <= shape.high[matched])
                        ++matched;
                    if (matched == shape.length)
                    {
                        length = matched;
                        break;
                    }
                }
                if (length < 2)
                    return std::nullopt;
                const std::vector<char32_t> decoded = QOR::Fuzzing::ReferenceCodePoints(text.substr(i, length));
                out.insert(out.end(), decoded.begin(), decoded.end());
                i += length;
                continue;
            }
            if (c != '\\')
            {
                out.push_back(c);
                ++i;
                continue;
            }
            if (i + 1 >= text.size())
                return std::nullopt;
            const char e = text[i + 1];
            i += 2;
            switch (e)
            {
            case '"': out.push_back('"'); continue;
            case '\\': out.push_back('\\'); continue;
            case '/': out.push_back('/'); continue;
            case 'b': out.push_back('\b'); continue;
            case 'f': out.push_back('\f'); continue;
            case 'n': out.push_back('\n'); continue;
            case 'r': out.push_back('\r'); continue;
            case 't': out.push_back('\t'); continue;
            case 'u': break;
            default: return std::nullopt;
            }
            const std::optional<std::uint32_t> unit = ParseHex4(text, i);
            if (!unit)
                return std::nullopt;
            i += 4;
            if (*unit >= 0xDC00 && *unit <= 0xDFFF)
                return std::nullopt; // a low surrogate on its own
            if (*unit >= 0xD800 && *unit <= 0xDBFF)
            {
                if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u')
                    return std::nullopt;
                const std::optional<std::uint32_t> low = ParseHex4(text, i + 2);
                if (!low || *low < 0xDC00 || *low > 0xDFFF)
                    return std::nullopt;
                i += 6;
                out.push_back(0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
                continue;
            }
            out.push_back(*unit);
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // Appends: what the buffer already holds must stay.
    std::string line = "\"";
    QOR::AppendJsonEscaped(line, input);
    line += '"';

    const std::optional<std::vector<char32_t>> parsed = ParseJsonString(line);
    if (!parsed)
        Fail("the escaped text is not one valid JSON string");
    if (*parsed != QOR::Fuzzing::ReferenceCodePoints(input))
        Fail("decoding the escaped text does not give back the input (with U+FFFD for invalid UTF-8)");

    const std::string_view body(line.data() + 1, line.size() - 2);
    const bool rewritten = body != input;
    if (QOR::NeedsJsonEscaping(input) != rewritten)
        Fail("NeedsJsonEscaping disagrees with what AppendJsonEscaped changes");
    if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos)
        Fail("a line break survived the escaping");
    return 0;
}
