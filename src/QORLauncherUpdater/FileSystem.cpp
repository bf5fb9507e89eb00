#include "FileSystem.h"

#include "UpdateFiles.h"

#include <qor/Foundation/Foundation.h>
#include <qor/Foundation/Utf8.h>

#include <type_traits>

namespace QOR::Update
{
    std::string SanitizeUtf8(std::string_view text)
    {
        // The platform's own conversion already replaces every ill-formed sequence; coming back from
        // UTF-16 then gives well-formed UTF-8.
        const WideTextResult wide = Utf8ToWide(text);
        return wide.error ? std::string(text.size(), '?') : EncodeUtf8(wide.text);
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
        constexpr std::uint32_t DirectoryAttribute = 0x10;     // FILE_ATTRIBUTE_DIRECTORY
        constexpr std::uint32_t ReparsePointAttribute = 0x400; // FILE_ATTRIBUTE_REPARSE_POINT
        constexpr std::uint32_t MountPointTag = 0xA0000003;    // IO_REPARSE_TAG_MOUNT_POINT (junctions)
        constexpr std::uint32_t SymbolicLinkTag = 0xA000000C;  // IO_REPARSE_TAG_SYMLINK
        const bool isDirectory = (attributes & DirectoryAttribute) != 0;
        const bool isLink =
            (attributes & ReparsePointAttribute) != 0 && (reparseTag == SymbolicLinkTag || reparseTag == MountPointTag);
        if (isLink)
        {
            return isDirectory || reparseTag == MountPointTag ? EntryType::DirectoryLink : EntryType::FileLink;
        }
        return isDirectory ? EntryType::Directory : EntryType::File;
    }

    namespace
    {
        // Narrow native text (POSIX) is checked; wide native text (Windows) is converted.
        template<class Native>
        std::string NativeToUtf8(const Native& native)
        {
            if constexpr (std::is_same_v<typename Native::value_type, char>)
            {
                return SanitizeUtf8(native);
            }
            else
            {
                return EncodeUtf8(native);
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
