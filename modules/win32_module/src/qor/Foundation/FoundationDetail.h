#pragma once

// The conversion algorithm, written against an abstract system converter so that the same code serves
// both backends and the error and assertion paths can be exercised on any platform.

#include "qor/Foundation/Foundation.h"

#include <cstdint>
#include <string_view>

namespace QOR::Detail
{
    // The shape of MultiByteToWideChar for UTF-8 with flags 0.
    class SystemTextConverter
    {
    public:
        virtual ~SystemTextConverter() = default;

        // Number of code units written (or needed, when `out` is null); 0 on failure.
        // `utf8` is never empty and never longer than 2147483647 bytes.
        virtual int Convert(std::string_view utf8, char16_t* out, int outCapacity) = 0;
        // The system error code of the last failed Convert.
        virtual std::uint32_t LastError() = 0;
    };

    // System error codes the conversion can report, and their names.
    inline constexpr std::uint32_t ErrorInsufficientBuffer = 122;
    inline constexpr std::uint32_t ErrorInvalidFlags = 1004;
    inline constexpr std::uint32_t ErrorInvalidParameter = 87;
    inline constexpr std::uint32_t ErrorNoUnicodeTranslation = 1113;

    WideTextResult Utf8ToWideWith(std::string_view utf8, SystemTextConverter& system);

    // Supplied by the backend.
    SystemTextConverter& NativeTextConverter();
}
