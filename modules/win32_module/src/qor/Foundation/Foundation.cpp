#include "qor/Foundation/Foundation.h"

#include "FoundationDetail.h"
#include "qor/Foundation/Assert.h"

#include <climits>
#include <utility>

namespace QOR
{
    Win32Error::Win32Error(std::string text) : _text(std::move(text))
    {
    }

    Win32Error::operator bool() const noexcept
    {
        return !_text.empty();
    }

    const std::string& Win32Error::GetText() const noexcept
    {
        return _text;
    }

    WideTextResult Utf8ToWide(std::string_view utf8)
    {
        WideString text;
        if (const std::error_code error = Detail::Utf8ToWideWith(utf8, Detail::NativeTextConverter(), text))
            return {Win32Error(error.message()), {}};
        return {Win32Error(), std::move(text)};
    }
}

namespace QOR::Detail
{
    namespace
    {
        const char* ConversionErrorName(std::uint32_t code) noexcept
        {
            switch (code)
            {
            case ErrorInsufficientBuffer:
                return "InsufficientBuffer";
            case ErrorInvalidFlags:
                return "InvalidFlags";
            case ErrorInvalidParameter:
                return "InvalidParameter";
            case ErrorNoUnicodeTranslation:
                return "NoUnicodeTranslation";
            default:
                return nullptr;
            }
        }

        class TextConversion final : public std::error_category
        {
        public:
            const char* name() const noexcept override { return "qor.text_conversion"; }
            std::string message(int value) const override
            {
                const char* name = ConversionErrorName(static_cast<std::uint32_t>(value));
                return name != nullptr ? name : "System error " + std::to_string(value);
            }
        };

        std::error_code ConversionError(std::uint32_t code) noexcept
        {
            return {static_cast<int>(code), TextConversionCategory()};
        }
    }

    const std::error_category& TextConversionCategory() noexcept
    {
        static const TextConversion category;
        return category;
    }

    std::error_code Utf8ToWideWith(std::string_view utf8, SystemTextConverter& system, WideString& wide)
    {
        wide.clear();
        if (utf8.empty())
            return {};

        // The system takes a 32-bit signed length; a longer input would be cut short silently.
        if (utf8.size() > static_cast<std::size_t>(INT_MAX))
            return ConversionError(ErrorInvalidParameter);

        const int charsNeeded = system.Convert(utf8, nullptr, 0);
        if (charsNeeded == 0)
        {
            const std::uint32_t code = system.LastError();
            if (ConversionErrorName(code) == nullptr)
                QOR_ASSERT(false);
            return ConversionError(code);
        }

        WideString text(static_cast<std::size_t>(charsNeeded), u'\0');
        const int charsConverted = system.Convert(utf8, text.data(), charsNeeded);
        QOR_ASSERT(charsConverted != 0);
        // A larger answer than the buffer would mean the system wrote past it; never trust it.
        QOR_ASSERT(charsConverted > 0 && charsConverted <= charsNeeded);
        text.resize(static_cast<std::size_t>(charsConverted));
        wide = std::move(text);
        return {};
    }
}
