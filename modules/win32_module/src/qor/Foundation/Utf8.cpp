#include "qor/Foundation/Utf8.h"

#include <cstdint>

namespace QOR
{
    namespace
    {
        // Writes one code point as one or two UTF-16 units; only counts when `out` is null.
        inline void PutUtf16(char32_t codePoint, char16_t* out, std::size_t& count) noexcept
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

        void PutUtf8(char32_t codePoint, std::string& out)
        {
            if (codePoint < 0x80)
            {
                out += static_cast<char>(codePoint);
            }
            else if (codePoint < 0x800)
            {
                out += static_cast<char>(0xC0 | (codePoint >> 6));
                out += static_cast<char>(0x80 | (codePoint & 0x3F));
            }
            else if (codePoint < 0x10000)
            {
                out += static_cast<char>(0xE0 | (codePoint >> 12));
                out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (codePoint & 0x3F));
            }
            else
            {
                out += static_cast<char>(0xF0 | (codePoint >> 18));
                out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (codePoint & 0x3F));
            }
        }

        template<class Unit>
        std::string EncodeUtf16Units(const Unit* units, std::size_t size)
        {
            std::string out;
            out.reserve(size);
            for (std::size_t i = 0; i < size; ++i)
            {
                const auto unit = static_cast<char32_t>(units[i]);
                if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < size)
                {
                    const auto next = static_cast<char32_t>(units[i + 1]);
                    if (next >= 0xDC00 && next <= 0xDFFF)
                    {
                        PutUtf8(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), out);
                        ++i;
                        continue;
                    }
                }
                PutUtf8(unit >= 0xD800 && unit <= 0xDFFF ? ReplacementCharacter : unit, out);
            }
            return out;
        }
    }

    Utf8Sequence DecodeUtf8Sequence(std::string_view text) noexcept
    {
        const auto lead = static_cast<std::uint8_t>(text[0]);
        if (lead < 0x80)
            return {lead, 1, true};

        // Well-formed sequences (Unicode Table 3-7): the trailing byte count and the range the second
        // byte must fall in; every later byte is 80..BF. This range is what rules out overlong forms,
        // encoded surrogates and values above U+10FFFF.
        std::size_t trailing = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
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
                low = 0xA0;
            else if (lead == 0xED)
                high = 0x9F;
        }
        else if (lead >= 0xF0 && lead <= 0xF4)
        {
            trailing = 3;
            codePoint = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F;
        }
        else
        {
            // 80..C1 and F5..FF never start a sequence: each is a subpart of its own.
            return {ReplacementCharacter, 1, false};
        }

        for (std::size_t i = 1; i <= trailing; ++i)
        {
            if (i >= text.size())
                return {ReplacementCharacter, i, false};
            const auto byte = static_cast<std::uint8_t>(text[i]);
            // The maximal subpart ends before this byte, which starts over.
            if (byte < low || byte > high)
                return {ReplacementCharacter, i, false};
            codePoint = (codePoint << 6) | (byte & 0x3F);
            low = 0x80;
            high = 0xBF;
        }
        return {codePoint, trailing + 1, true};
    }

    std::size_t DecodeUtf8(std::string_view utf8, char16_t* out) noexcept
    {
        std::size_t count = 0;
        std::size_t i = 0;
        while (i < utf8.size())
        {
            const auto lead = static_cast<std::uint8_t>(utf8[i]);
            if (lead < 0x80)
            {
                PutUtf16(lead, out, count);
                ++i;
                continue;
            }
            const Utf8Sequence sequence = DecodeUtf8Sequence(utf8.substr(i));
            PutUtf16(sequence.codePoint, out, count);
            i += sequence.length;
        }
        return count;
    }

    std::u16string DecodeUtf8(std::string_view utf8)
    {
        std::u16string text(DecodeUtf8(utf8, nullptr), u'\0');
        DecodeUtf8(utf8, text.data());
        return text;
    }

    std::string EncodeUtf8(std::u16string_view utf16)
    {
        return EncodeUtf16Units(utf16.data(), utf16.size());
    }

#ifdef _WIN32
    std::string EncodeUtf8(std::wstring_view utf16)
    {
        static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide text is UTF-16 on Windows");
        return EncodeUtf16Units(utf16.data(), utf16.size());
    }
#endif
}
