#pragma once

// The UTF-8 to UTF-16 decoder used where the system offers none. Exposed on every platform so the tests
// and the fuzzing harness can drive it directly.

#include <cstddef>
#include <string>
#include <string_view>

namespace QOR::Detail
{
    // Decodes `utf8` into UTF-16 code units, replacing each maximal ill-formed subpart by U+FFFD
    // (the Unicode Standard's recommended practice, the same output as the WHATWG decoder).
    // With `out` null only counts; otherwise `out` must have room for the counted number of units.
    // Returns the number of code units.
    std::size_t DecodeUtf8ToUtf16(std::string_view utf8, char16_t* out) noexcept;

    std::u16string DecodeUtf8ToUtf16(std::string_view utf8);
}
