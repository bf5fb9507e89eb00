#pragma once

// A deliberately simple, table-driven UTF-8 decoder that the tests and fuzz targets compare the product's
// codec against. It shares no code with it and favours obviousness over speed.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace QOR::Testing
{
    inline constexpr char32_t Replacement = 0xFFFD;

    struct ReferenceSequence
    {
        char32_t codePoint; // Replacement when not well formed
        std::size_t length; // bytes of the sequence, or of its maximal ill-formed subpart
        bool bIsWellFormed;
    };

    // The sequence `text` (not empty) starts with. A maximal ill-formed subpart is the longest start of
    // some well-formed sequence, and at least one byte.
    ReferenceSequence ReferenceDecodeOne(std::string_view text);

    // Code points of the text; every maximal ill-formed subpart becomes one U+FFFD.
    std::vector<char32_t> ReferenceCodePoints(std::string_view text);

    // Code points (no surrogates among them) encoded, a surrogate pair above U+FFFF.
    std::u16string ToUtf16(const std::vector<char32_t>& codePoints);
    void AppendUtf8(std::string& out, char32_t codePoint);
    std::string ToUtf8(const std::vector<char32_t>& codePoints);
}
