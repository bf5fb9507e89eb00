#pragma once

// A deliberately simple, table-driven UTF-8 decoder the fuzz targets compare the product's decoders
// against. It shares no code with them and favours obviousness over speed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace QOR::Fuzzing
{
    // One row of the Unicode Standard's table of well-formed byte sequences: the allowed range of
    // each byte, in order.
    struct SequenceShape
    {
        std::size_t length;
        std::uint8_t low[4];
        std::uint8_t high[4];
    };

    inline constexpr SequenceShape WellFormed[] = {
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

    inline constexpr char32_t Replacement = 0xFFFD;

    // Code points of the text; every maximal ill-formed subpart (the longest start of some well-formed
    // sequence, at least one byte) becomes one U+FFFD.
    inline std::vector<char32_t> ReferenceCodePoints(std::string_view text)
    {
        std::vector<char32_t> out;
        std::size_t i = 0;
        while (i < text.size())
        {
            std::size_t longestPrefix = 0;
            bool complete = false;
            char32_t value = 0;
            for (const SequenceShape& shape : WellFormed)
            {
                std::size_t matched = 0;
                while (matched < shape.length && i + matched < text.size())
                {
                    const auto byte = static_cast<std::uint8_t>(text[i + matched]);
                    if (byte < shape.low[matched] || byte > shape.high[matched])
                        break;
                    ++matched;
                }
                if (matched > longestPrefix)
                    longestPrefix = matched;
                if (matched == shape.length)
                {
                    complete = true;
                    const auto lead = static_cast<std::uint8_t>(text[i]);
                    const std::uint8_t leadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
                    value = lead & leadMask[shape.length];
                    for (std::size_t k = 1; k < shape.length; ++k)
                        value = (value << 6) | (static_cast<std::uint8_t>(text[i + k]) & 0x3F);
                    longestPrefix = shape.length;
                    break;
                }
            }
            if (complete)
            {
                out.push_back(value);
                i += longestPrefix;
            }
            else
            {
                out.push_back(Replacement);
                i += longestPrefix == 0 ? 1 : longestPrefix;
            }
        }
        return out;
    }

    inline std::u16string ToUtf16(const std::vector<char32_t>& codePoints)
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

    inline void AppendUtf8(std::string& out, char32_t c)
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

    inline std::string ToUtf8(const std::vector<char32_t>& codePoints)
    {
        std::string out;
        for (const char32_t c : codePoints)
            AppendUtf8(out, c);
        return out;
    }

    // Stops the run with a message libFuzzer's crash report shows.
    [[noreturn]] void Fail(const char* what);
}
