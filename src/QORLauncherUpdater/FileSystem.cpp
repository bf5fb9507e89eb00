#include "FileSystem.h"

#include "UpdateFiles.h"

#include <qor/Foundation/Foundation.h>

#include <type_traits>

namespace QOR::Update
{
    namespace
    {
        constexpr const char* ReplacementCharacter = "\xEF\xBF\xBD";

        void AppendUtf8(std::string& out, std::uint32_t codePoint)
        {
            if (codePoint < 0x80)
            {
                out += static_cast<char>(codePoint);
            }
            else if (codePoint < 0x800)
            {
                out += static_cast<char>(0xC0 | (codePoint >> 6));
                out += static_cast<char>(0x80 | (codePoint & 0x3F));
            }
            else if (codePoint < 0x10000)
            {
                out += static_cast<char>(0xE0 | (codePoint >> 12));
                out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (codePoint & 0x3F));
            }
            else
            {
                out += static_cast<char>(0xF0 | (codePoint >> 18));
                out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (codePoint & 0x3F));
            }
        }

        // UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
        template <class WideChar>
        std::string WideToUtf8(const std::basic_string<WideChar>& wide)
        {
            std::string out;
            out.reserve(wide.size());
            for (std::size_t i = 0; i < wide.size(); ++i)
            {
                const auto unit = static_cast<std::uint32_t>(wide[i]) & 0xFFFF;
                if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size())
                {
                    const auto next = static_cast<std::uint32_t>(wide[i + 1]) & 0xFFFF;
                    if (next >= 0xDC00 && next <= 0xDFFF)
                    {
                        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                        ++i;
                        continue;
                    }
                }
                if (unit >= 0xD800 && unit <= 0xDFFF)
                {
                    out += ReplacementCharacter;
                    continue;
                }
                AppendUtf8(out, unit);
            }
            return out;
        }
    }

    std::string SanitizeUtf8(std::string_view text)
    {
        // The platform's own conversion already replaces every ill-formed sequence; coming back from
        // UTF-16 then gives well-formed UTF-8.
        const WideTextResult wide = Utf8ToWide(text);
        return wide.error ? std::string(text.size(), '?') : WideToUtf8(wide.text);
    }

    std::string PathText(const std::filesystem::path& path)
    {
        return FileSystem::ToUtf8(path.native());
    }
}

namespace QOR::Update::FileSystem
{
    EntryType ClassifyWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag)
    {
        constexpr std::uint32_t DirectoryAttribute = 0x10;    // FILE_ATTRIBUTE_DIRECTORY
        constexpr std::uint32_t ReparsePointAttribute = 0x400; // FILE_ATTRIBUTE_REPARSE_POINT
        constexpr std::uint32_t MountPointTag = 0xA0000003;    // IO_REPARSE_TAG_MOUNT_POINT (junctions)
        constexpr std::uint32_t SymbolicLinkTag = 0xA000000C;  // IO_REPARSE_TAG_SYMLINK
        const bool isDirectory = (attributes & DirectoryAttribute) != 0;
        const bool isLink = (attributes & ReparsePointAttribute) != 0 &&
                            (reparseTag == SymbolicLinkTag || reparseTag == MountPointTag);
        if (isLink)
        {
            return isDirectory || reparseTag == MountPointTag ? EntryType::DirectoryLink : EntryType::FileLink;
        }
        return isDirectory ? EntryType::Directory : EntryType::File;
    }

    namespace
    {
        // Narrow native text (POSIX) is checked; wide native text (Windows) is converted.
        template <class Native>
        std::string NativeToUtf8(const Native& native)
        {
            if constexpr (std::is_same_v<typename Native::value_type, char>)
            {
                return SanitizeUtf8(native);
            }
            else
            {
                return WideToUtf8(native);
            }
        }
    }

    std::string ToUtf8(const NativeString& native)
    {
        return NativeToUtf8(native);
    }

    NativeString FromAscii(const char* text)
    {
        NativeString native;
        for (; *text != '\0'; ++text)
        {
            native.push_back(static_cast<NativeChar>(*text));
        }
        return native;
    }
}
