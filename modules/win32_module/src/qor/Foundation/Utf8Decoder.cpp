#include "Utf8Decoder.h"

#include <cstdint>

namespace QOR::Detail
{
    namespace
    {
        constexpr char16_t ReplacementCharacter = 0xFFFD;

        // Emits one code point as one or two code units; counts only when `out` is null.
        inline void Emit(char32_t codePoint, char16_t* out, std::size_t& count) noexcept
        {
            if (codePoint < 0x10000)
            {
                if (out != nullptr)
                    out[count] = static_cast<char16_t>(codePoint);
                ++count;
                return;
            }
            if (out != nullptr)
            {
                const char32_t offset = codePoint - 0x10000;
                out[count] = static_cast<char16_t>(0xD800 + (offset >> 10));
                out[count + 1] = static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
            }
            count += 2;
        }
    }

    std::size_t DecodeUtf8ToUtf16(std::string_view utf8, char16_t* out) noexcept
    {
        std::size_t count = 0;
        const std::size_t size = utf8.size();
        std::size_t i = 0;
        while (i < size)
        {
            const auto lead = static_cast<std::uint8_t>(utf8[i]);
            if (lead < 0x80)
            {
                Emit(lead, out, count);
                ++i;
                continue;
            }

            // Well-formed sequences (Unicode Table 3-7): the trailing byte count and the range the
            // second byte must fall in; every later byte is 80..BF. This range is what rules out
            // overlong forms, encoded surrogates and values above U+10FFFF.
            int trailing = 0;
            std::uint8_t secondLow = 0x80;
            std::uint8_t secondHigh = 0xBF;
            char32_t codePoint = 0;
            if (lead >= 0xC2 && lead <= 0xDF)
            {
                trailing = 1;
                codePoint = lead & 0x1F;
            }
            else if (lead >= 0xE0 && lead <= 0xEF)
            {
                trailing = 2;
                codePoint = lead & 0x0F;
                if (lead == 0xE0)
                    secondLow = 0xA0;
                else if (lead == 0xED)
                    secondHigh = 0x9F;
            }
            else if (lead >= 0xF0 && lead <= 0xF4)
            {
                trailing = 3;
                codePoint = lead & 0x07;
                if (lead == 0xF0)
                    secondLow = 0x90;
                else if (lead == 0xF4)
                    secondHigh = 0x8F;
            }
            else
            {
                // 80..C1 and F5..FF never start a sequence: each is a subpart of its own.
                Emit(ReplacementCharacter, out, count);
                ++i;
                continue;
            }

            ++i;
            bool complete = true;
            for (int k = 0; k < trailing; ++k)
            {
                const std::uint8_t low = (k == 0) ? secondLow : std::uint8_t{0x80};
                const std::uint8_t high = (k == 0) ? secondHigh : std::uint8_t{0xBF};
                if (i >= size)
                {
                    complete = false;
                    break;
                }
                const auto byte = static_cast<std::uint8_t>(utf8[i]);
                if (byte < low || byte > high)
                {
                    // The maximal subpart ends before this byte, which starts over.
                    complete = false;
                    break;
                }
                codePoint = (codePoint << 6) | (byte & 0x3F);
                ++i;
            }
            Emit(complete ? codePoint : char32_t{ReplacementCharacter}, out, count);
        }
        return count;
    }

    std::u16string DecodeUtf8ToUtf16(std::string_view utf8)
    {
        std::u16string text(DecodeUtf8ToUtf16(utf8, nullptr), u'\0');
        DecodeUtf8ToUtf16(utf8, text.data());
        return text;
    }
}
