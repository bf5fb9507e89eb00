#pragma once

// A strict reader for the updater's log lines: one flat JSON object whose members are all strings
// (RFC 8259 syntax, well-formed UTF-8 only). Anything else is rejected, so a line that a log
// collector would choke on fails the test.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace QOR::Testing
{
    class JsonLineReader
    {
    public:
        explicit JsonLineReader(std::string_view text) : _text(text) {}

        std::optional<std::map<std::string, std::string>> ReadObject()
        {
            std::map<std::string, std::string> members;
            SkipSpace();
            if (!Take('{'))
                return std::nullopt;
            SkipSpace();
            if (Take('}'))
                return AtEnd() ? std::optional(members) : std::nullopt;
            for (;;)
            {
                SkipSpace();
                std::optional<std::string> name = ReadString();
                SkipSpace();
                if (!name || !Take(':'))
                    return std::nullopt;
                SkipSpace();
                std::optional<std::string> value = ReadString();
                if (!value || members.count(*name) != 0)
                    return std::nullopt;
                members.emplace(std::move(*name), std::move(*value));
                SkipSpace();
                if (Take(','))
                    continue;
                if (Take('}'))
                    return AtEnd() ? std::optional(members) : std::nullopt;
                return std::nullopt;
            }
        }

    private:
        bool AtEnd()
        {
            SkipSpace();
            return _at == _text.size();
        }

        void SkipSpace()
        {
            while (_at < _text.size() && (_text[_at] == ' ' || _text[_at] == '\t' || _text[_at] == '\n' || _text[_at] == '\r'))
                ++_at;
        }

        bool Take(char c)
        {
            if (_at < _text.size() && _text[_at] == c)
            {
                ++_at;
                return true;
            }
            return false;
        }

        static void AppendUtf8(std::string& out, std::uint32_t c)
        {
            if (c < 0x80)
            {
                out += static_cast<char>(c);
            }
            else if (c < 0x800)
            {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
            else if (c < 0x10000)
            {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
            else
            {
                out += static_cast<char>(0xF0 | (c >> 18));
                out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }

        std::optional<std::uint32_t> ReadHex4()
        {
            if (_at + 4 > _text.size())
                return std::nullopt;
            std::uint32_t value = 0;
            for (int k = 0; k < 4; ++k)
            {
                const char c = _text[_at++];
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

        // Length of the well-formed UTF-8 sequence at the current position, 0 when there is none.
        std::size_t WellFormedLength() const
        {
            const auto byte = [&](std::size_t k) {
                return _at + k < _text.size() ? static_cast<std::uint8_t>(_text[_at + k]) : std::uint8_t{0};
            };
            const std::uint8_t lead = byte(0);
            std::size_t length = 0;
            std::uint8_t low = 0x80;
            std::uint8_t high = 0xBF;
            if (lead >= 0xC2 && lead <= 0xDF)
                length = 2;
            else if (lead >= 0xE0 && lead <= 0xEF)
                length = 3, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
            else if (lead >= 0xF0 && lead <= 0xF4)
                length = 4, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
            else
                return 0;
            for (std::size_t k = 1; k < length; ++k)
            {
                if (byte(k) < low || byte(k) > high)
                    return 0;
                low = 0x80, high = 0xBF;
            }
            return length;
        }

        std::optional<std::string> ReadString()
        {
            if (!Take('"'))
                return std::nullopt;
            std::string out;
            while (_at < _text.size())
            {
                const auto c = static_cast<std::uint8_t>(_text[_at]);
                if (c == '"')
                {
                    ++_at;
                    return out;
                }
                if (c < 0x20)
                    return std::nullopt;
                if (c >= 0x80)
                {
                    const std::size_t length = WellFormedLength();
                    if (length == 0)
                        return std::nullopt;
                    out.append(_text.substr(_at, length));
                    _at += length;
                    continue;
                }
                ++_at;
                if (c != '\\')
                {
                    out += static_cast<char>(c);
                    continue;
                }
                if (_at >= _text.size())
                    return std::nullopt;
                switch (_text[_at++])
                {
                case '"': out += '"'; continue;
                case '\\': out += '\\'; continue;
                case '/': out += '/'; continue;
                case 'b': out += '\b'; continue;
                case 'f': out += '\f'; continue;
                case 'n': out += '\n'; continue;
                case 'r': out += '\r'; continue;
                case 't': out += '\t'; continue;
                case 'u': break;
                default: return std::nullopt;
                }
                std::optional<std::uint32_t> unit = ReadHex4();
                if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF))
                    return std::nullopt;
                if (*unit >= 0xD800 && *unit <= 0xDBFF)
                {
                    if (!Take('\\') || !Take('u'))
                        return std::nullopt;
                    const std::optional<std::uint32_t> low = ReadHex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return std::nullopt;
                    unit = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
                }
                AppendUtf8(out, *unit);
            }
            return std::nullopt;
        }

        std::string_view _text;
        std::size_t _at = 0;
    };

    inline std::optional<std::map<std::string, std::string>> ParseJsonLine(std::string_view line)
    {
        return JsonLineReader(line).ReadObject();
    }
}
