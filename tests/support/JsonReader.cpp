#include "JsonReader.h"

#include "ReferenceUtf8.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace QOR::Testing
{
    namespace
    {
        class StrictJsonReader
        {
        public:
            explicit StrictJsonReader(std::string_view text) : _text(text) {}

            std::optional<JsonObject> ReadObject()
            {
                JsonObject members;
                if (!TakeToken('{'))
                    return std::nullopt;
                if (!TakeToken('}'))
                {
                    do
                    {
                        std::string name;
                        std::string value;
                        SkipSpace();
                        if (!ReadString(name) || !TakeToken(':'))
                            return std::nullopt;
                        SkipSpace();
                        if (!ReadString(value) || !members.emplace(std::move(name), std::move(value)).second)
                            return std::nullopt;
                    } while (TakeToken(','));
                    if (!TakeToken('}'))
                        return std::nullopt;
                }
                SkipSpace();
                return _pos == _text.size() ? std::optional(members) : std::nullopt;
            }

            std::optional<std::string> ReadOnlyString()
            {
                std::string text;
                return ReadString(text) && _pos == _text.size() ? std::optional(text) : std::nullopt;
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
                while (_pos < _text.size() &&
                       (_text[_pos] == ' ' || _text[_pos] == '\t' || _text[_pos] == '\n' || _text[_pos] == '\r'))
                    ++_pos;
            }

            // Structural characters may have white space before them.
            bool TakeToken(char c)
            {
                SkipSpace();
                return Take(c);
            }

            std::optional<std::uint32_t> ReadHex4()
            {
                std::uint32_t value = 0;
                const char* const start = _text.data() + _pos;
                if (_text.size() - _pos < 4 || std::from_chars(start, start + 4, value, 16).ptr != start + 4)
                    return std::nullopt;
                _pos += 4;
                return value;
            }

            // After "\u": one escaped character, a surrogate pair for values above U+FFFF.
            bool ReadEscapedCodePoint(std::string& out)
            {
                std::optional<std::uint32_t> unit = ReadHex4();
                if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF))
                    return false;
                if (*unit >= 0xD800 && *unit <= 0xDBFF)
                {
                    if (!Take('\\') || !Take('u'))
                        return false;
                    const std::optional<std::uint32_t> low = ReadHex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return false;
                    *unit = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
                }
                AppendUtf8(out, static_cast<char32_t>(*unit));
                return true;
            }

            bool ReadString(std::string& out)
            {
                if (!Take('"'))
                    return false;
                while (_pos < _text.size())
                {
                    const auto c = static_cast<unsigned char>(_text[_pos]);
                    if (c == '"')
                    {
                        ++_pos;
                        return true;
                    }
                    if (c < 0x20)
                        return false;
                    if (c >= 0x80)
                    {
                        const ReferenceSequence sequence = ReferenceDecodeOne(_text.substr(_pos));
                        if (!sequence.bIsWellFormed)
                            return false;
                        out.append(_text.substr(_pos, sequence.length));
                        _pos += sequence.length;
                        continue;
                    }
                    ++_pos;
                    if (c != '\\')
                    {
                        out += static_cast<char>(c);
                        continue;
                    }
                    if (_pos >= _text.size())
                        return false;
                    switch (_text[_pos++])
                    {
                    case '"':
                        out += '"';
                        break;
                    case '\\':
                        out += '\\';
                        break;
                    case '/':
                        out += '/';
                        break;
                    case 'b':
                        out += '\b';
                        break;
                    case 'f':
                        out += '\f';
                        break;
                    case 'n':
                        out += '\n';
                        break;
                    case 'r':
                        out += '\r';
                        break;
                    case 't':
                        out += '\t';
                        break;
                    case 'u':
                        if (!ReadEscapedCodePoint(out))
                            return false;
                        break;
                    default:
                        return false;
                    }
                }
                return false;
            }

            std::string_view _text;
            std::size_t _pos = 0;
        };
    }

    std::optional<JsonObject> ParseJsonObject(std::string_view text)
    {
        return StrictJsonReader(text).ReadObject();
    }

    std::optional<std::string> ParseJsonString(std::string_view text)
    {
        return StrictJsonReader(text).ReadOnlyString();
    }

    std::optional<std::vector<std::string>> SplitLogLines(std::string_view log)
    {
        std::vector<std::string> lines;
        for (std::size_t start = 0; start < log.size();)
        {
            const std::size_t end = log.find("\r\n", start);
            if (end == std::string_view::npos)
                return std::nullopt;
            lines.emplace_back(log.substr(start, end - start));
            if (lines.back().find_first_of("\r\n") != std::string::npos)
                return std::nullopt;
            start = end + 2;
        }
        return lines;
    }
}
