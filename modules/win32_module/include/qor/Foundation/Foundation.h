#pragma once

// Error convention and text conversion shared by every platform helper. No helper throws: each one
// returns a record whose first field is a Win32Error and whose other fields are empty when it is set.

#include <string>
#include <string_view>
#include <system_error>

namespace QOR
{
    // One narrow (UTF-8) message text; set when the text is non-empty.
    class Win32Error
    {
    public:
        Win32Error() = default;
        explicit Win32Error(std::string text);

        explicit operator bool() const noexcept;
        const std::string& GetText() const noexcept;

    private:
        std::string _text;
    };

    // UTF-16 code units on every platform (wchar_t is 32 bits wide outside Windows).
    using WideString = std::u16string;

    struct WideTextResult
    {
        Win32Error error;
        WideString text;
    };

    // Converts UTF-8 to UTF-16. Ill-formed input is no error: each maximal ill-formed subpart becomes
    // U+FFFD. Zero bytes are converted like any other character. Inputs longer than 2147483647 bytes are
    // refused with "InvalidParameter" instead of being cut short.
    WideTextResult Utf8ToWide(std::string_view utf8);

    // The system's own wording of `error` as UTF-8 without a final line break, for box and log texts:
    // FormatMessage for Windows system codes ("The handle is invalid."), strerror elsewhere.
    std::string SystemErrorText(const std::error_code& error);
}
