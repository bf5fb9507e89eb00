#pragma once

// The conversion algorithm, written against an abstract system converter so that the same code serves
// both backends and the error and assertion paths can be exercised on any platform.

#include "qor/Foundation/Foundation.h"

#include <cstdint>
#include <string_view>
#include <system_error>

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

    // System error codes the conversion can report.
    inline constexpr std::uint32_t ErrorInsufficientBuffer = 122;
    inline constexpr std::uint32_t ErrorInvalidFlags = 1004;
    inline constexpr std::uint32_t ErrorInvalidParameter = 87;
    inline constexpr std::uint32_t ErrorNoUnicodeTranslation = 1113;

    // The conversion's refusals: those codes, worded by their names ("InsufficientBuffer"), which are
    // the texts the helpers' results carry for a text that could not be converted.
    const std::error_category& TextConversionCategory() noexcept;

    // Converts `utf8` into `wide`. Any refusal other than the four codes breaks an invariant and stops
    // the program.
    [[nodiscard]] std::error_code Utf8ToWideWith(std::string_view utf8, SystemTextConverter& system, WideString& wide);

    // Supplied by the backend.
    SystemTextConverter& NativeTextConverter();
}
