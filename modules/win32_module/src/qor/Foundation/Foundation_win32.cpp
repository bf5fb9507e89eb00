#include "FoundationDetail.h"
#include "qor/Foundation/Platform_win32.h"
#include "qor/Foundation/Utf8.h"

#include <memory>
#include <string>

namespace QOR::Detail
{
    namespace
    {
        static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 code units are wchar_t on Windows");

        class Win32Converter final : public SystemTextConverter
        {
        public:
            int Convert(std::string_view utf8, char16_t* out, int outCapacity) override
            {
                return ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                             reinterpret_cast<wchar_t*>(out), outCapacity);
            }

            std::uint32_t LastError() override { return ::GetLastError(); }
        };
    }

    SystemTextConverter& NativeTextConverter()
    {
        static Win32Converter converter;
        return converter;
    }
}

namespace QOR
{
    std::string SystemErrorText(const std::error_code& error)
    {
        if (error.category() != std::system_category())
            return error.message();
        wchar_t* text = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(error.value()), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        const std::unique_ptr<wchar_t, decltype(&::LocalFree)> owned(text, &::LocalFree);
        std::wstring_view wide(text != nullptr ? text : L"", text != nullptr ? length : 0);
        while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' '))
            wide.remove_suffix(1);
        if (wide.empty())
            return "System error " + std::to_string(static_cast<unsigned long>(error.value()));
        return EncodeUtf8(wide);
    }
}
