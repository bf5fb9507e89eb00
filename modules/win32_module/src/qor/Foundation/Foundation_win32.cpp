#include "FoundationDetail.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

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

            std::uint32_t LastError() override
            {
                return ::GetLastError();
            }
        };
    }

    SystemTextConverter& NativeTextConverter()
    {
        static Win32Converter converter;
        return converter;
    }
}
