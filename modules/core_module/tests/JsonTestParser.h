#pragma once

// A strict reader for the log lines: one JSON object whose members are all strings, as RFC 8259
// demands (no raw control characters, only the defined escapes, well-formed UTF-8, no lone surrogates).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace QOR::Test
{
    using JsonMembers = std::vector<std::pair<std::string, std::string>>;

    class StrictJsonReader
    {
    public:
        explicit StrictJsonReader(std::string_view text) : _text(text) {}

        std::optional<JsonMembers> ReadObject()
        {
            JsonMembers members;
            SkipSpace();
            if (!Take('{'))
            {
                return std::nullopt;
            }
            SkipSpace();
            if (!Take('}'))
            {
                do
                {
                    SkipSpace();
                    std::string name;
                    std::string value;
                    if (!ReadString(name))
                    {
                        return std::nullopt;
                    }
                    SkipSpace();
                    if (!Take(':'))
                    {
                        return std::nullopt;
                    }
                    SkipSpace();
                    if (!ReadString(value))
                    {
                        return std::nullopt;
                    }
                    members.emplace_back(std::move(name), std::move(value));
                    SkipSpace();
                } while (Take(','));
                if (!Take('}'))
                {
                    return std::nullopt;
                }
            }
            SkipSpace();
            if (_pos != _text.size())
            {
                return std::nullopt;
            }
            return members;
        }

    private:
        bool Take(char c)
        {
            if (_pos < _text.size() && _text[_pos] == c)
            {
                ++_pos;
                return true;
            }
            return false;
        }

        void SkipSpace()
        {
            while (_pos < _text.size() && (_text[_pos] == ' ' || _text[_pos] == '\t' || _text[_pos] == '\n' ||
                                           _text[_pos] == '\r'))
            {
                ++_pos;
            }
        }

        std::optional<std::uint32_t> ReadHex4()
        {
            if (_text.size() - _pos < 4)
            {
                return std::nullopt;
            }
            std::uint32_t value = 0;
            for (int i = 0; i < 4; ++i)
            {
                const char c = _text[_pos++];
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

        static void AppendUtf8(std::string& out, std::uint32_t cp)
        {
            if (cp < 0x80)
            {
                out += static_cast<char>(cp);
            }
            else if (cp < 0x800)
            {
                out += static_cast<char>(0xC0 | (cp >> 6));
                out += static_cast<char>(0x80 | (cp & 0x3F));
            }
            else if (cp < 0x10000)
            {
                out += static_cast<char>(0xE0 | (cp >> 12));
                out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (cp & 0x3F));
            }
            else
            {
                out += static_cast<char>(0xF0 | (cp >> 18));
                out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (cp & 0x3F));
            }
        }

        // Decodes one raw UTF-8 scalar value, rejecting overlongs, surrogates and values past U+10FFFF.
        bool ReadRawUtf8(std::string& out)
        {
            const auto lead = static_cast<unsigned char>(_text[_pos]);
            std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
            if (length == 0 || lead >= 0xF8 || _text.size() - _pos < length)
            {
                return false;
            }
            std::uint32_t cp = lead & (0x7F >> length);
            for (std::size_t i = 1; i < length; ++i)
            {
                const auto c = static_cast<unsigned char>(_text[_pos + i]);
                if ((c & 0xC0) != 0x80)
                {
                    return false;
                }
                cp = (cp << 6) | (c & 0x3F);
            }
            const std::uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            {
                return false;
            }
            out.append(_text.substr(_pos, length));
            _pos += length;
            return true;
        }

        bool ReadString(std::string& out)
        {
            if (!Take('"'))
            {
                return false;
            }
            while (_pos < _text.size())
            {
                const auto c = static_cast<unsigned char>(_text[_pos]);
                if (c == '"')
                {
                    ++_pos;
                    return true;
                }
                if (c < 0x20)
                {
                    return false;
                }
                if (c >= 0x80)
                {
                    if (!ReadRawUtf8(out))
                    {
                        return false;
                    }
                    continue;
                }
                ++_pos;
                if (c != '\\')
                {
                    out += static_cast<char>(c);
                    continue;
                }
                if (_pos >= _text.size())
                {
                    return false;
                }
                switch (_text[_pos++])
                {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u':
                {
                    std::optional<std::uint32_t> cp = ReadHex4();
                    if (!cp || (*cp >= 0xDC00 && *cp <= 0xDFFF))
                    {
                        return false;
                    }
                    if (*cp >= 0xD800 && *cp <= 0xDBFF)
                    {
                        if (!Take('\\') || !Take('u'))
                        {
                            return false;
                        }
                        std::optional<std::uint32_t> low = ReadHex4();
                        if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        {
                            return false;
                        }
                        *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
                    }
                    AppendUtf8(out, *cp);
                    break;
                }
                default: return false;
                }
            }
            return false;
        }

        std::string_view _text;
        std::size_t _pos = 0;
    };

    inline std::optional<JsonMembers> ParseJsonObject(std::string_view text)
    {
        return StrictJsonReader(text).ReadObject();
    }

    // Parses the string body of a JSON string (the text between its quotation marks).
    inline std::optional<std::string> ParseJsonStringBody(std::string_view body)
    {
        const std::string object = "{\"v\": \"" + std::string(body) + "\"}";
        std::optional<JsonMembers> members = ParseJsonObject(object);
        if (!members || members->size() != 1)
        {
            return std::nullopt;
        }
        return members->front().second;
    }
}
