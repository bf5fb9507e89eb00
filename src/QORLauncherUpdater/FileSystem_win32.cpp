#include "FileSystem.h"

#include <qor/Foundation/Platform_win32.h>
#include <qor/Utility/FileHolders.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace QOR::Update::FileSystem
{
    namespace
    {
        using Detail::LastSystemError;
        using Detail::SystemError;
        using FileHandle = Detail::UniqueKernelHandle;

        struct FindHandleTraits
        {
            using Handle = HANDLE;

            static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
            static bool IsValid(Handle search) noexcept { return search != INVALID_HANDLE_VALUE; }
            static void Close(Handle search) noexcept { ::FindClose(search); }
        };
        using FindHandle = UniqueHandle<FindHandleTraits>;

        constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

        // The path as programs and players know it: "\\?\C:\x" as "C:\x", "\\?\UNC\s\x" as "\\s\x".
        NativeString WithoutLongPrefix(const NativeString& path)
        {
            if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
            {
                return L"\\\\" + path.substr(8);
            }
            if (path.rfind(L"\\\\?\\", 0) == 0)
            {
                return path.substr(4);
            }
            return path;
        }

        // Opens the entry itself for its attributes, never a link's target.
        HANDLE OpenEntry(const NativeString& path, DWORD access, bool followLink)
        {
            const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
            return ::CreateFileW(path.c_str(), access, ShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
        }

        bool IsMissingCode(DWORD code)
        {
            return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        }

        std::error_code Information(const NativeString& path, bool followLink, BY_HANDLE_FILE_INFORMATION& info)
        {
            FileHandle file(OpenEntry(path, FILE_READ_ATTRIBUTES, followLink));
            if (!file)
            {
                return LastSystemError();
            }
            return ::GetFileInformationByHandle(file.Get(), &info) ? std::error_code{} : LastSystemError();
        }

        bool IsDotOrDotDot(const wchar_t* name)
        {
            return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
        }

        EntryType TypeOfFound(const WIN32_FIND_DATAW& found)
        {
            const DWORD tag = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? found.dwReserved0 : 0;
            return ClassifyWindowsEntry(found.dwFileAttributes, tag);
        }

        // Opens a listing of `folder`; an empty handle with no error for a folder with nothing in it.
        std::error_code OpenListing(const NativeString& folder, FindHandle& handle, WIN32_FIND_DATAW& found)
        {
            const NativeString pattern = folder + L"\\*";
            HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                               FIND_FIRST_EX_LARGE_FETCH);
            if (search == INVALID_HANDLE_VALUE)
            {
                const DWORD code = ::GetLastError();
                // "No file found" is an empty listing; "path not found" is not: the folder was listed.
                return code == ERROR_FILE_NOT_FOUND ? std::error_code{} : SystemError(code);
            }
            handle.Reset(search);
            return {};
        }

        std::error_code FlushOpenedFile(const NativeString& path)
        {
            FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, ShareAll, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file)
            {
                return LastSystemError();
            }
            return ::FlushFileBuffers(file.Get()) ? std::error_code{} : LastSystemError();
        }

        std::error_code RemoveEntry(const NativeString& path)
        {
            const DWORD attributes = ::GetFileAttributesW(path.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES)
            {
                const DWORD code = ::GetLastError();
                return IsMissingCode(code) ? std::error_code{} : SystemError(code);
            }
            std::error_code firstError;
            const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            const bool isReparsePoint = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            // A junction or folder link is removed itself; what it points to is never entered.
            if (isDirectory && !isReparsePoint)
            {
                WIN32_FIND_DATAW found{};
                FindHandle search;
                if (const std::error_code error = OpenListing(path, search, found))
                {
                    return error;
                }
                if (search)
                {
                    do
                    {
                        if (IsDotOrDotDot(found.cFileName))
                        {
                            continue;
                        }
                        const std::error_code error = RemoveEntry(path + L"\\" + found.cFileName);
                        if (error && !firstError)
                        {
                            firstError = error;
                        }
                    } while (::FindNextFileW(search.Get(), &found));
                }
            }
            if (attributes & FILE_ATTRIBUTE_READONLY)
            {
                ::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
            }
            const BOOL removed = isDirectory ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str());
            if (!removed && !firstError)
            {
                firstError = LastSystemError();
            }
            return firstError;
        }

        // Runs a call that fills a buffer of a given size and answers the length it needs (0 on failure),
        // growing the buffer until the answer fits: paths have no fixed limit here.
        template<class Call>
        std::error_code GrowingPathCall(std::wstring& out, Call call)
        {
            std::wstring buffer(MAX_PATH, L'\0');
            for (;;)
            {
                const DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
                if (length == 0)
                {
                    return LastSystemError();
                }
                if (length < buffer.size())
                {
                    buffer.resize(length);
                    out = std::move(buffer);
                    return {};
                }
                buffer.resize(length + 1);
            }
        }
    }

    std::error_code InstallationRoot(NativeString& root)
    {
        std::wstring buffer;
        if (const std::error_code error = GrowingPathCall(
                buffer, [](wchar_t* data, DWORD size) { return ::GetFullPathNameW(L".", size, data, nullptr); }))
        {
            return error;
        }
        // The "\\?\" form lifts the length limit of every call made with it.
        if (buffer.rfind(L"\\\\?\\", 0) == 0)
        {
            root = buffer;
        }
        else if (buffer.rfind(L"\\\\", 0) == 0)
        {
            root = L"\\\\?\\UNC\\" + buffer.substr(2);
        }
        else
        {
            root = L"\\\\?\\" + buffer;
        }
        // "C:\" keeps its separator, which the paths built on it then reuse; others have none.
        if (root.size() > 7 && root.back() == L'\\')
        {
            root.pop_back();
        }
        return {};
    }

    std::string DisplayPath(const NativeString& path)
    {
        return ToUtf8(WithoutLongPrefix(path));
    }

    std::error_code Status(const NativeString& path, EntryType& type)
    {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
        {
            const DWORD code = ::GetLastError();
            if (IsMissingCode(code))
            {
                type = EntryType::Missing;
                return {};
            }
            return SystemError(code);
        }
        DWORD tag = 0;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        {
            FileHandle file(OpenEntry(path, FILE_READ_ATTRIBUTES, false));
            FILE_ATTRIBUTE_TAG_INFO info{};
            if (!file || !::GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &info, sizeof(info)))
            {
                return LastSystemError();
            }
            tag = info.ReparseTag;
        }
        type = ClassifyWindowsEntry(attributes, tag);
        return {};
    }

    std::error_code StatusFollowingLinks(const NativeString& path, EntryType& type)
    {
        BY_HANDLE_FILE_INFORMATION info{};
        if (const std::error_code error = Information(path, true, info))
        {
            if (IsMissingCode(static_cast<DWORD>(error.value())))
            {
                type = EntryType::Missing;
                return {};
            }
            return error;
        }
        type = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryType::Directory : EntryType::File;
        return {};
    }

    std::error_code SameFile(const NativeString& left, const NativeString& right, bool& same)
    {
        BY_HANDLE_FILE_INFORMATION a{};
        BY_HANDLE_FILE_INFORMATION b{};
        if (const std::error_code error = Information(left, false, a))
        {
            return error;
        }
        if (const std::error_code error = Information(right, false, b))
        {
            return error;
        }
        same = a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
               a.nFileIndexLow == b.nFileIndexLow;
        return {};
    }

    std::error_code SameContent(const NativeString& left, const NativeString& right, bool& same)
    {
        same = false;
        FileHandle a(::CreateFileW(left.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
        FileHandle b(::CreateFileW(right.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!a || !b)
        {
            return LastSystemError();
        }
        BY_HANDLE_FILE_INFORMATION infoA{};
        BY_HANDLE_FILE_INFORMATION infoB{};
        if (!::GetFileInformationByHandle(a.Get(), &infoA) || !::GetFileInformationByHandle(b.Get(), &infoB))
        {
            return LastSystemError();
        }
        constexpr DWORD Compared = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if ((infoA.dwFileAttributes & Compared) != (infoB.dwFileAttributes & Compared) ||
            infoA.nFileSizeHigh != infoB.nFileSizeHigh || infoA.nFileSizeLow != infoB.nFileSizeLow)
        {
            return {};
        }
        constexpr DWORD Chunk = 1 << 16;
        std::vector<char> bufferA(Chunk);
        std::vector<char> bufferB(Chunk);
        for (;;)
        {
            DWORD gotA = 0;
            DWORD gotB = 0;
            if (!::ReadFile(a.Get(), bufferA.data(), Chunk, &gotA, nullptr) ||
                !::ReadFile(b.Get(), bufferB.data(), Chunk, &gotB, nullptr))
            {
                return LastSystemError();
            }
            if (gotA != gotB || std::memcmp(bufferA.data(), bufferB.data(), gotA) != 0)
            {
                return {};
            }
            if (gotA == 0)
            {
                same = true;
                return {};
            }
        }
    }

    std::error_code FileSystemOf(const NativeString& path, std::uint64_t& device)
    {
        BY_HANDLE_FILE_INFORMATION info{};
        if (const std::error_code error = Information(path, true, info))
        {
            return error;
        }
        device = info.dwVolumeSerialNumber;
        return {};
    }

    std::error_code Rename(const NativeString& from, const NativeString& to, Replace replace)
    {
        // Without MOVEFILE_COPY_ALLOWED: across volumes it fails, and the caller copies instead.
        const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace == Replace::Yes ? MOVEFILE_REPLACE_EXISTING : 0);
        return ::MoveFileExW(from.c_str(), to.c_str(), flags) ? std::error_code{} : LastSystemError();
    }

    std::error_code HardLink(const NativeString& existing, const NativeString& link)
    {
        return ::CreateHardLinkW(link.c_str(), existing.c_str(), nullptr) ? std::error_code{} : LastSystemError();
    }

    std::error_code CopyToNewFile(const NativeString& source, const NativeString& target)
    {
        // Follows a link: its content is what gets installed. Keeps the attributes.
        if (!::CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS))
        {
            const std::error_code error = LastSystemError();
            if (!IsAlreadyExisting(error))
            {
                ::DeleteFileW(target.c_str());
            }
            return error;
        }
        if (const std::error_code error = FlushFile(target))
        {
            ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(target.c_str());
            return error;
        }
        return {};
    }

    std::error_code RemoveFile(const NativeString& path)
    {
        if (::DeleteFileW(path.c_str()))
        {
            return {};
        }
        const DWORD code = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        {
            ::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
            if (::DeleteFileW(path.c_str()))
            {
                return {};
            }
            const std::error_code error = LastSystemError();
            ::SetFileAttributesW(path.c_str(), attributes);
            return error;
        }
        return SystemError(code);
    }

    std::error_code MakeFolder(const NativeString& path)
    {
        return ::CreateDirectoryW(path.c_str(), nullptr) ? std::error_code{} : LastSystemError();
    }

    std::error_code RemoveEmptyFolder(const NativeString& path)
    {
        return ::RemoveDirectoryW(path.c_str()) ? std::error_code{} : LastSystemError();
    }

    std::error_code RemoveTree(const NativeString& path)
    {
        return RemoveEntry(path);
    }

    std::error_code WriteNewFile(const NativeString& path, const std::string& bytes)
    {
        FileHandle file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
        {
            return LastSystemError();
        }
        std::size_t done = 0;
        while (done < bytes.size())
        {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
            DWORD written = 0;
            if (!::WriteFile(file.Get(), bytes.data() + done, chunk, &written, nullptr))
            {
                return LastSystemError();
            }
            done += written;
        }
        return ::FlushFileBuffers(file.Get()) ? std::error_code{} : LastSystemError();
    }

    std::error_code ReadWholeFile(const NativeString& path, std::string& bytes)
    {
        FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
        {
            return LastSystemError();
        }
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file.Get(), &size))
        {
            return LastSystemError();
        }
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        std::size_t done = 0;
        while (done < bytes.size())
        {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
            DWORD got = 0;
            if (!::ReadFile(file.Get(), bytes.data() + done, chunk, &got, nullptr))
            {
                return LastSystemError();
            }
            if (got == 0)
            {
                break;
            }
            done += got;
        }
        bytes.resize(done);
        return {};
    }

    std::error_code FlushDirectory(const NativeString&)
    {
        // Every rename was written through.
        return {};
    }

    std::error_code FlushFileSystem(const NativeString&)
    {
        // A whole volume can be flushed by administrators only: each file is flushed instead.
        return {};
    }

    std::error_code FlushFile(const NativeString& path)
    {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
        {
            return LastSystemError();
        }
        // A flush needs write access, which a read-only file refuses until the attribute is lifted.
        const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (readOnly && !::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}))
        {
            return LastSystemError();
        }
        const std::error_code error = FlushOpenedFile(path);
        if (readOnly && !::SetFileAttributesW(path.c_str(), attributes) && !error)
        {
            return LastSystemError();
        }
        return error;
    }

    bool FlushesEachFile()
    {
        return true;
    }

    std::error_code ReadLink(const NativeString&, NativeString&)
    {
        // A link's content is installed, never the link.
        return std::make_error_code(std::errc::operation_not_supported);
    }

    std::error_code FinalPath(const NativeString& path, NativeString& final)
    {
        FileHandle file(OpenEntry(path, 0, true));
        if (!file)
        {
            return LastSystemError();
        }
        return GrowingPathCall(final, [&](wchar_t* data, DWORD size) {
            return ::GetFinalPathNameByHandleW(file.Get(), data, size, FILE_NAME_NORMALIZED);
        });
    }

    std::error_code CheckReplaceable(const NativeString& path)
    {
        // The access a rename over the file needs: fails while someone holds it without delete sharing.
        FileHandle file(OpenEntry(path, DELETE | FILE_READ_ATTRIBUTES, false));
        return file ? std::error_code{} : LastSystemError();
    }

    std::error_code Walk(const NativeString& root, const WalkVisitor& visit, NativeString& failedRelative)
    {
        struct Level
        {
            FindHandle search;
            WIN32_FIND_DATAW found;
            bool bIsFirst;
            std::size_t relativeLength;
        };
        std::vector<std::unique_ptr<Level>> stack;
        NativeString relative;
        const auto open = [&](const NativeString& folderRelative) -> std::error_code {
            auto level = std::make_unique<Level>();
            level->bIsFirst = true;
            level->relativeLength = folderRelative.size();
            const NativeString folder = folderRelative.empty() ? root : root + L"\\" + folderRelative;
            if (const std::error_code error = OpenListing(folder, level->search, level->found))
            {
                failedRelative = folderRelative;
                return error;
            }
            if (level->search)
            {
                stack.push_back(std::move(level));
            }
            return {};
        };
        if (const std::error_code error = open(NativeString()))
        {
            return error;
        }
        while (!stack.empty())
        {
            Level& level = *stack.back();
            if (!level.bIsFirst && !::FindNextFileW(level.search.Get(), &level.found))
            {
                const DWORD code = ::GetLastError();
                if (code != ERROR_NO_MORE_FILES)
                {
                    failedRelative = relative.substr(0, level.relativeLength);
                    return SystemError(code);
                }
                stack.pop_back();
                continue;
            }
            level.bIsFirst = false;
            if (IsDotOrDotDot(level.found.cFileName))
            {
                continue;
            }
            relative.resize(level.relativeLength);
            if (!relative.empty())
            {
                relative.push_back(Separator);
            }
            relative.append(level.found.cFileName);
            const EntryType type = TypeOfFound(level.found);
            if (const std::error_code error = visit(relative, type))
            {
                return error;
            }
            if (type == EntryType::Directory)
            {
                const NativeString inner = relative;
                if (const std::error_code error = open(inner))
                {
                    return error;
                }
            }
        }
        return {};
    }

    std::error_code ListFolder(const NativeString& folder,
                               const std::function<void(const NativeString& name, EntryType type)>& visit)
    {
        WIN32_FIND_DATAW found{};
        FindHandle search;
        if (const std::error_code error = OpenListing(folder, search, found))
        {
            return error;
        }
        if (!search)
        {
            return {};
        }
        do
        {
            if (!IsDotOrDotDot(found.cFileName))
            {
                visit(found.cFileName, TypeOfFound(found));
            }
        } while (::FindNextFileW(search.Get(), &found));
        const DWORD code = ::GetLastError();
        return code == ERROR_NO_MORE_FILES ? std::error_code{} : SystemError(code);
    }

    bool IsNotFound(const std::error_code& error)
    {
        if (error.category() == std::system_category() && IsMissingCode(static_cast<DWORD>(error.value())))
        {
            return true;
        }
        return error == std::errc::no_such_file_or_directory;
    }

    bool IsAlreadyExisting(const std::error_code& error)
    {
        return error.category() == std::system_category() &&
               (error.value() == ERROR_FILE_EXISTS || error.value() == ERROR_ALREADY_EXISTS);
    }

    bool IsCrossDevice(const std::error_code& error)
    {
        return error.category() == std::system_category() && error.value() == ERROR_NOT_SAME_DEVICE;
    }

    bool IsLinkUnsupported(const std::error_code& error)
    {
        // FAT and exFAT answer "invalid function" or "not supported".
        return error.category() == std::system_category() &&
               (error.value() == ERROR_INVALID_FUNCTION || error.value() == ERROR_NOT_SUPPORTED ||
                error.value() == ERROR_TOO_MANY_LINKS || error.value() == ERROR_NOT_SAME_DEVICE);
    }

    bool IsNotEmpty(const std::error_code& error)
    {
        return error.category() == std::system_category() && error.value() == ERROR_DIR_NOT_EMPTY;
    }

    bool IsHeldByAnother(const std::error_code& error, const NativeString& path)
    {
        if (error.category() != std::system_category())
        {
            return false;
        }
        switch (error.value())
        {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
            return true;
        case ERROR_ACCESS_DENIED:
        {
            // Also what a file being deleted by someone else answers, and a folder with an open file in
            // it; a read-only file answers it for good.
            const DWORD attributes = ::GetFileAttributesW(path.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES)
            {
                return ::GetLastError() == ERROR_ACCESS_DENIED;
            }
            return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || (attributes & FILE_ATTRIBUTE_READONLY) == 0;
        }
        default:
            return false;
        }
    }

    std::string HoldersOf(const NativeString& path)
    {
        // The Restart Manager is given the path as programs know it.
        return DescribeFileHolders(std::filesystem::path(WithoutLongPrefix(path)));
    }

    std::uint64_t RandomBits()
    {
        std::uint64_t bits = 0;
        try
        {
            std::random_device device;
            bits = (std::uint64_t{device()} << 32) ^ device();
        }
        catch (...)
        {
        }
        LARGE_INTEGER counter{};
        ::QueryPerformanceCounter(&counter);
        return bits ^ (static_cast<std::uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15ull) ^ ::GetCurrentProcessId();
    }

    NativeString FoldCase(const NativeString& name)
    {
        if (name.empty())
        {
            return name;
        }
        NativeString folded(name.size(), L'\0');
        const int length =
            ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()),
                            folded.data(), static_cast<int>(folded.size()), nullptr, nullptr, 0);
        if (length <= 0)
        {
            return name;
        }
        folded.resize(static_cast<std::size_t>(length));
        return folded;
    }
}
