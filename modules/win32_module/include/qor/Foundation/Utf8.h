#pragma once

// The project's one UTF-8 codec, the same on every platform: the log's JSON escaping, the updater's
// path and error texts, and Utf8ToWide where the system has no converter all use it. Ill-formed input
// is never an error: each maximal ill-formed subpart (Unicode Standard, "U+FFFD Substitution of
// Maximal Subparts", the WHATWG decoder's practice) becomes one U+FFFD.

#include <cstddef>
#include <string>
#include <string_view>

namespace QOR
{
    inline constexpr char32_t ReplacementCharacter = 0xFFFD;

    struct Utf8Sequence
    {
        char32_t codePoint; // ReplacementCharacter when not well formed
        std::size_t length; // bytes of the sequence, or of the maximal ill-formed subpart
        bool bIsWellFormed;
    };

    // The sequence `text` (not empty) starts with.
    Utf8Sequence DecodeUtf8Sequence(std::string_view text) noexcept;

    // `utf8` as UTF-16 code units, a surrogate pair above U+FFFF; zero bytes are characters like any
    // other. With `out` null only counts; otherwise `out` has room for the counted units. Returns the
    // number of units, never more than the number of bytes.
    std::size_t DecodeUtf8(std::string_view utf8, char16_t* out) noexcept;
    std::u16string DecodeUtf8(std::string_view utf8);

    // UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD, so the result is always well formed.
    std::string EncodeUtf8(std::u16string_view utf16);
#ifdef _WIN32
    // The system's wide text, which is UTF-16 there.
    std::string EncodeUtf8(std::wstring_view utf16);
#endif
}
