#pragma once

// For the Windows backends of this library only: system UTF-16 text to UTF-8.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace QOR::Detail
{
    // `units` UTF-16 code units as UTF-8; unpaired surrogates become U+FFFD, so the result is always
    // valid. Empty when the system cannot convert it.
    inline std::string WideToUtf8(const wchar_t* text, int units)
    {
        if (text == nullptr || units <= 0)
            return {};
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0)
            return {};
        std::string utf8(static_cast<std::size_t>(bytes), '\0');
        if (::WideCharToMultiByte(CP_UTF8, 0, text, units, utf8.data(), bytes, nullptr, nullptr) != bytes)
            return {};
        return utf8;
    }
}
