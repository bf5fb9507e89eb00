// What every file system shares: the meaning of its errors, and text. Written once, so the system's
// backends and the tests' in-memory one behave alike. No platform header here: Windows codes are spelled
// as numbers with their names.

#include "platform/FileSystem.h"

#include <qor/Foundation/Utf8.h>

#include <algorithm>
#include <initializer_list>
#include <string>

namespace QOR::Update
{
    namespace
    {
        // Windows system error codes (winerror.h) the predicates recognize besides the generic ones.
        constexpr int WindowsInvalidFunction = 1;     // ERROR_INVALID_FUNCTION
        constexpr int WindowsFileNotFound = 2;        // ERROR_FILE_NOT_FOUND
        constexpr int WindowsPathNotFound = 3;        // ERROR_PATH_NOT_FOUND
        constexpr int WindowsNotSameDevice = 17;      // ERROR_NOT_SAME_DEVICE
        constexpr int WindowsLockViolation = 33;      // ERROR_LOCK_VIOLATION
        constexpr int WindowsNotSupported = 50;       // ERROR_NOT_SUPPORTED
        constexpr int WindowsFileExists = 80;         // ERROR_FILE_EXISTS
        constexpr int WindowsDirectoryNotEmpty = 145; // ERROR_DIR_NOT_EMPTY
        constexpr int WindowsAlreadyExists = 183;     // ERROR_ALREADY_EXISTS
        constexpr int WindowsNotADirectory = 267;     // ERROR_DIRECTORY
        constexpr int WindowsTooManyLinks = 1142;     // ERROR_TOO_MANY_LINKS

        // Whether `error` is one of the system's own codes `windowsCodes`. Elsewhere the system's codes are
        // errno values, which compare equal to the std::errc conditions already.
        bool IsWindowsError(const std::error_code& error, std::initializer_list<int> windowsCodes)
        {
#ifdef _WIN32
            if (error.category() != std::system_category())
            {
                return false;
            }
            for (const int code : windowsCodes)
            {
                if (error.value() == code)
                {
                    return true;
                }
            }
            return false;
#else
            static_cast<void>(error);
            static_cast<void>(windowsCodes);
            return false;
#endif
        }

        bool IsAnyOf(const std::error_code& error, std::initializer_list<std::errc> conditions)
        {
            for (const std::errc condition : conditions)
            {
                if (error == condition)
                {
                    return true;
                }
            }
            return false;
        }
    }

    bool IsNotFound(const std::error_code& error)
    {
        return error == std::errc::no_such_file_or_directory ||
               IsWindowsError(error, {WindowsFileNotFound, WindowsPathNotFound});
    }

    bool IsAlreadyExisting(const std::error_code& error)
    {
        return error == std::errc::file_exists || IsWindowsError(error, {WindowsFileExists, WindowsAlreadyExists});
    }

    bool IsCrossDevice(const std::error_code& error)
    {
        return error == std::errc::cross_device_link || IsWindowsError(error, {WindowsNotSameDevice});
    }

    bool IsLinkUnsupported(const std::error_code& error)
    {
        // Linux answers EPERM for a file system without links (vfat), EMLINK when a file has all the links
        // it can, EXDEV across file systems; FAT and exFAT on Windows answer "invalid function" or "not
        // supported".
        return IsAnyOf(error,
                       {std::errc::operation_not_supported, std::errc::not_supported,
                        std::errc::operation_not_permitted, std::errc::too_many_links, std::errc::cross_device_link}) ||
               IsWindowsError(error,
                              {WindowsInvalidFunction, WindowsNotSupported, WindowsTooManyLinks, WindowsNotSameDevice});
    }

    bool IsNotEmpty(const std::error_code& error)
    {
        return error == std::errc::directory_not_empty || IsWindowsError(error, {WindowsDirectoryNotEmpty});
    }

    bool IsUnsupported(const std::error_code& error)
    {
        return IsAnyOf(error, {std::errc::operation_not_supported, std::errc::not_supported,
                               std::errc::function_not_supported}) ||
               IsWindowsError(error, {WindowsInvalidFunction, WindowsNotSupported});
    }

    bool IsLockedByAnother(const std::error_code& error)
    {
        // A non-blocking lock answers EWOULDBLOCK, which is EAGAIN on Linux but not in every C library.
        return IsAnyOf(error, {std::errc::resource_unavailable_try_again, std::errc::operation_would_block}) ||
               IsWindowsError(error, {WindowsLockViolation});
    }

    bool IsNotAFolder(const std::error_code& error)
    {
        return IsAnyOf(error, {std::errc::not_a_directory, std::errc::is_a_directory}) ||
               IsWindowsError(error, {WindowsNotADirectory});
    }

    std::string ToUtf8(const NativeString& native)
    {
#ifdef _WIN32
        return EncodeUtf8(std::wstring_view(native));
#else
        // Through UTF-16 and back: the codec replaces each ill-formed sequence with U+FFFD on the way in.
        return EncodeUtf8(DecodeUtf8(native));
#endif
    }

    NativeString FromAscii(std::string_view text)
    {
        return NativeString(text.begin(), text.end());
    }

    EntryType ClassifyWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag)
    {
        constexpr std::uint32_t DirectoryAttribute = 0x10;     // FILE_ATTRIBUTE_DIRECTORY
        constexpr std::uint32_t ReparsePointAttribute = 0x400; // FILE_ATTRIBUTE_REPARSE_POINT
        constexpr std::uint32_t MountPointTag = 0xA0000003;    // IO_REPARSE_TAG_MOUNT_POINT: junctions
        constexpr std::uint32_t SymbolicLinkTag = 0xA000000C;  // IO_REPARSE_TAG_SYMLINK
        const bool bIsDirectory = (attributes & DirectoryAttribute) != 0;
        if ((attributes & ReparsePointAttribute) != 0)
        {
            if (reparseTag == MountPointTag)
            {
                return EntryType::DirectoryLink;
            }
            if (reparseTag == SymbolicLinkTag)
            {
                return bIsDirectory ? EntryType::DirectoryLink : EntryType::FileLink;
            }
        }
        return bIsDirectory ? EntryType::Directory : EntryType::File;
    }
}

namespace QOR::Update
{
    std::uint32_t WindowsAttributesWithReadOnly(std::uint32_t attributes, bool bIsReadOnly)
    {
        constexpr std::uint32_t ReadOnly = 0x1;
        constexpr std::uint32_t Normal = 0x80; // FILE_ATTRIBUTE_NORMAL: "no other attribute"
        // READONLY, HIDDEN, SYSTEM, ARCHIVE, TEMPORARY, OFFLINE, NOT_CONTENT_INDEXED: the attributes
        // SetFileAttributesW sets; the others (folder, reparse point, compressed...) it ignores or refuses.
        constexpr std::uint32_t Settable = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000;
        const std::uint32_t kept = (attributes & Settable & ~ReadOnly) | (bIsReadOnly ? ReadOnly : 0);
        return kept == 0 ? Normal : kept;
    }

    bool KeepsIdsWhenMovedByName(std::string_view fileSystemName)
    {
        std::string upper(fileSystemName);
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
        return upper != "FAT" && upper != "FAT12" && upper != "FAT16" && upper != "FAT32" && upper != "EXFAT";
    }

    bool IsLinkByFinalPath(NativeView entryFinal, NativeView folderFinal, NativeView name)
    {
        // A folder's final path ends with a separator only at the top of a volume ("\\?\C:\").
        const bool bHasSeparator = !folderFinal.empty() && folderFinal.back() == Separator;
        const std::size_t expected = folderFinal.size() + (bHasSeparator ? 0 : 1) + name.size();
        return entryFinal.size() != expected || entryFinal.substr(0, folderFinal.size()) != folderFinal ||
               (!bHasSeparator && entryFinal[folderFinal.size()] != Separator) ||
               entryFinal.substr(expected - name.size()) != name;
    }
}
