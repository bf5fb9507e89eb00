#include "qor/Logging/JsonEscape.h"

#include "qor/Foundation/Utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace QOR
{
    namespace
    {
        constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
        constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
        constexpr char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD, as UTF-8

        // A byte the JSON string body cannot hold as it is (or the lead byte of a multi-byte sequence,
        // which has to be validated).
        constexpr bool IsSpecialByte(unsigned char c) noexcept
        {
            return c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
        }

        // Nonzero when some byte of the word is special. May flag a word whose only "hit" is caused by a
        // borrow from a real hit in a lower byte, never misses one: the caller re-checks bytewise.
        inline std::uint64_t WordHasSpecialByte(std::uint64_t word) noexcept
        {
            const std::uint64_t quote = word ^ (kOnes * '"');
            const std::uint64_t backslash = word ^ (kOnes * '\\');
            const std::uint64_t control = (word - kOnes * 0x20) & ~word;
            const std::uint64_t quoteZero = (quote - kOnes) & ~quote;
            const std::uint64_t backslashZero = (backslash - kOnes) & ~backslash;
            return (control | quoteZero | backslashZero | word) & kHighBits;
        }

        void AppendEscapedControl(std::string& buffer, unsigned char c)
        {
            switch (c)
            {
            case '"':
                buffer += "\\\"";
                return;
            case '\\':
                buffer += "\\\\";
                return;
            case '\n':
                buffer += "\\n";
                return;
            case '\r':
                buffer += "\\r";
                return;
            case '\t':
                buffer += "\\t";
                return;
            default:
                break;
            }
            constexpr char kHex[] = "0123456789abcdef";
            const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
            buffer.append(escape, sizeof(escape));
        }
    }

    bool NeedsJsonEscaping(std::string_view text) noexcept
    {
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t size = text.size();
        std::size_t i = 0;
        while (i < size)
        {
            // Clean ASCII, the common case, is scanned eight bytes at a time.
            if (size - i >= sizeof(std::uint64_t))
            {
                std::uint64_t word;
                std::memcpy(&word, bytes + i, sizeof(word));
                if (WordHasSpecialByte(word) == 0)
                {
                    i += sizeof(word);
                    continue;
                }
            }
            const unsigned char c = bytes[i];
            if (!IsSpecialByte(c))
            {
                ++i;
                continue;
            }
            if (c < 0x80)
            {
                return true;
            }
            const Utf8Sequence sequence = DecodeUtf8Sequence(text.substr(i));
            if (!sequence.bIsWellFormed)
            {
                return true;
            }
            i += sequence.length;
        }
        return false;
    }

    void AppendJsonEscaped(std::string& buffer, std::string_view text)
    {
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t size = text.size();
        std::size_t runStart = 0; // start of the bytes not yet copied, all of which pass unchanged
        std::size_t i = 0;
        while (i < size)
        {
            const unsigned char c = bytes[i];
            if (!IsSpecialByte(c))
            {
                ++i;
                continue;
            }
            if (c >= 0x80)
            {
                const Utf8Sequence sequence = DecodeUtf8Sequence(text.substr(i));
                if (sequence.bIsWellFormed)
                {
                    i += sequence.length;
                    continue;
                }
                buffer.append(text.data() + runStart, i - runStart);
                buffer += kReplacement;
                i += sequence.length;
                runStart = i;
                continue;
            }
            buffer.append(text.data() + runStart, i - runStart);
            AppendEscapedControl(buffer, c);
            ++i;
            runStart = i;
        }
        buffer.append(text.data() + runStart, size - runStart);
    }
}
