#include "ReferenceUtf8.h"

#include <algorithm>
#include <cstdint>

namespace QOR::Testing
{
    namespace
    {
        // One row of the Unicode Standard's table of well-formed byte sequences: the allowed range of
        // each byte, in order.
        struct SequenceShape
        {
            std::size_t length;
            std::uint8_t low[4];
            std::uint8_t high[4];
        };

        constexpr SequenceShape WellFormed[] = {
            {1, {0x00}, {0x7F}},
            {2, {0xC2, 0x80}, {0xDF, 0xBF}},
            {3, {0xE0, 0xA0, 0x80}, {0xE0, 0xBF, 0xBF}},
            {3, {0xE1, 0x80, 0x80}, {0xEC, 0xBF, 0xBF}},
            {3, {0xED, 0x80, 0x80}, {0xED, 0x9F, 0xBF}},
            {3, {0xEE, 0x80, 0x80}, {0xEF, 0xBF, 0xBF}},
            {4, {0xF0, 0x90, 0x80, 0x80}, {0xF0, 0xBF, 0xBF, 0xBF}},
            {4, {0xF1, 0x80, 0x80, 0x80}, {0xF3, 0xBF, 0xBF, 0xBF}},
            {4, {0xF4, 0x80, 0x80, 0x80}, {0xF4, 0x8F, 0xBF, 0xBF}},
        };
    }

    ReferenceSequence ReferenceDecodeOne(std::string_view text)
    {
        std::size_t longestPrefix = 1;
        for (const SequenceShape& shape : WellFormed)
        {
            std::size_t matched = 0;
            while (matched < shape.length && matched < text.size() &&
                   static_cast<std::uint8_t>(text[matched]) >= shape.low[matched] &&
                   static_cast<std::uint8_t>(text[matched]) <= shape.high[matched])
                ++matched;
            if (matched == shape.length)
            {
                const std::uint8_t leadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
                char32_t value = static_cast<std::uint8_t>(text[0]) & leadMask[shape.length];
                for (std::size_t k = 1; k < shape.length; ++k)
                    value = (value << 6) | (static_cast<std::uint8_t>(text[k]) & 0x3F);
                return {value, shape.length, true};
            }
            longestPrefix = std::max(longestPrefix, matched);
        }
        return {Replacement, longestPrefix, false};
    }

    std::vector<char32_t> ReferenceCodePoints(std::string_view text)
    {
        std::vector<char32_t> out;
        while (!text.empty())
        {
            const ReferenceSequence sequence = ReferenceDecodeOne(text);
            out.push_back(sequence.codePoint);
            text.remove_prefix(sequence.length);
        }
        return out;
    }

    std::u16string ToUtf16(const std::vector<char32_t>& codePoints)
    {
        std::u16string out;
        for (const char32_t c : codePoints)
        {
            if (c < 0x10000)
            {
                out.push_back(static_cast<char16_t>(c));
            }
            else
            {
                out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) / 0x400)));
                out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) % 0x400)));
            }
        }
        return out;
    }

    void AppendUtf8(std::string& out, char32_t c)
    {
        if (c < 0x80)
        {
            out.push_back(static_cast<char>(c));
        }
        else if (c < 0x800)
        {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        else if (c < 0x10000)
        {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        else
        {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }

    std::string ToUtf8(const std::vector<char32_t>& codePoints)
    {
        std::string out;
        for (const char32_t c : codePoints)
            AppendUtf8(out, c);
        return out;
    }
}
