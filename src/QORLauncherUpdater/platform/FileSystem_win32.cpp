#include "platform/FileSystem.h"

#include <qor/Foundation/Platform_win32.h>
#include <qor/Utility/FileHolders.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace QOR::Update
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

        // Whether a removal failed with `code` only because the entry has the read-only attribute, given in
        // `attributes` then.
        bool IsRefusedAsReadOnly(DWORD code, const NativeString& path, DWORD& attributes)
        {
            if (code != ERROR_ACCESS_DENIED)
            {
                return false;
            }
            attributes = ::GetFileAttributesW(path.c_str());
            return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        }

        // Opens the entry for its attributes; never a link's target unless asked.
        HANDLE OpenEntry(const NativeString& path, DWORD access, bool followLink)
        {
            const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
            return ::CreateFileW(path.c_str(), access, ShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
        }

        bool IsMissingCode(DWORD code)
        {
            return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
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

        std::error_code FinalPathOf(HANDLE file, NativeString& final)
        {
            return GrowingPathCall(final, [&](wchar_t* data, DWORD size) {
                return ::GetFinalPathNameByHandleW(file, data, size, FILE_NAME_NORMALIZED);
            });
        }

        // Wine runs this program on a Linux file system (Proton on a handheld), whose symbolic links it
        // follows everywhere without a reparse tag: removing or renaming one acts on what it points to.
        bool IsWine()
        {
            static const bool bIsWine =
                ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
            return bIsWine;
        }

        // Whether `file`, opened through `path`, is a Linux symbolic link seen through Wine: where it leads
        // is not its folder's own place. Nothing is known of a folder that cannot be opened: no link.
        bool IsWineLink(HANDLE file, const NativeString& path)
        {
            NativeString final;
            if (FinalPathOf(file, final) || final == path)
            {
                return false;
            }
            const std::size_t separator = path.rfind(L'\\');
            if (separator == NativeString::npos)
            {
                return false;
            }
            const NativeString folder = path.substr(0, separator);
            FileHandle parent(OpenEntry(folder, 0, true));
            NativeString folderFinal;
            if (!parent || FinalPathOf(parent.Get(), folderFinal))
            {
                return false;
            }
            return IsLinkByFinalPath(final, folderFinal, NativeView(path).substr(separator + 1));
        }

        // Under Wine: whether `path` is a Linux symbolic link, which is neither removed nor renamed here.
        bool IsWineLinkAt(const NativeString& path)
        {
            if (!IsWine())
            {
                return false;
            }
            FileHandle file(OpenEntry(path, 0, true));
            return file && IsWineLink(file.Get(), path);
        }

        std::error_code StatusAt(const NativeString& path, bool followLink, EntryStatus& status)
        {
            FileHandle file(OpenEntry(path, FILE_READ_ATTRIBUTES, followLink));
            BY_HANDLE_FILE_INFORMATION info{};
            if (!file)
            {
                const DWORD code = ::GetLastError();
                if (IsMissingCode(code))
                {
                    status = EntryStatus{};
                    return {};
                }
                // A file being deleted, or one its owner lets nobody open: its listing still tells what it
                // is; its id stays unknown (zero), which no record holds.
                WIN32_FILE_ATTRIBUTE_DATA data{};
                if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
                {
                    return SystemError(code);
                }
                info.dwFileAttributes = data.dwFileAttributes;
                info.nFileSizeHigh = data.nFileSizeHigh;
                info.nFileSizeLow = data.nFileSizeLow;
            }
            else if (!::GetFileInformationByHandle(file.Get(), &info))
            {
                return LastSystemError();
            }
            DWORD tag = 0;
            if (file && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            {
                FILE_ATTRIBUTE_TAG_INFO tagInfo{};
                if (!::GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tagInfo, sizeof(tagInfo)))
                {
                    return LastSystemError();
                }
                tag = tagInfo.ReparseTag;
            }
            const bool bIsDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            status.type = followLink ? (bIsDirectory ? EntryType::Directory : EntryType::File)
                                     : ClassifyWindowsEntry(info.dwFileAttributes, tag);
            if (!followLink && file && IsWine() && IsWineLink(file.Get(), path))
            {
                // Wine opened what the link leads to: the id and size are that entry's.
                status.type = bIsDirectory ? EntryType::DirectoryLink : EntryType::FileLink;
            }
            status.id = {info.dwVolumeSerialNumber,
                         (std::uint64_t{info.nFileIndexHigh} << 32) | std::uint64_t{info.nFileIndexLow}};
            status.size = (std::uint64_t{info.nFileSizeHigh} << 32) | std::uint64_t{info.nFileSizeLow};
            status.attributes = info.dwFileAttributes;
            status.bIsReadOnly = !bIsDirectory && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
            return {};
        }

        // Whether a folder lists nothing but "." and "..".
        bool ListsNothing(const NativeString& folder)
        {
            WIN32_FIND_DATAW found{};
            const FindHandle search(::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                                       FindExSearchNameMatch, nullptr, 0));
            if (!search)
            {
                return ::GetLastError() == ERROR_FILE_NOT_FOUND;
            }
            do
            {
                if (!IsDotOrDotDot(found.cFileName))
                {
                    return false;
                }
            } while (::FindNextFileW(search.Get(), &found));
            return true;
        }

        class WindowsListing final : public Listing
        {
        public:
            // An empty `search` lists nothing. `folder`: the folder listed, as the caller named it.
            WindowsListing(FindHandle search, const WIN32_FIND_DATAW& first, NativeString folder)
                : _search(std::move(search)), _found(first), _folder(std::move(folder)), _bIsFirst(true)
            {
            }

            bool Next(NativeString& name, EntryType& type, std::error_code& error) override
            {
                for (;;)
                {
                    if (!_search)
                    {
                        return false;
                    }
                    if (!_bIsFirst && !::FindNextFileW(_search.Get(), &_found))
                    {
                        const DWORD code = ::GetLastError();
                        if (code != ERROR_NO_MORE_FILES)
                        {
                            error = SystemError(code);
                        }
                        _search.Reset();
                        return false;
                    }
                    _bIsFirst = false;
                    if (!IsDotOrDotDot(_found.cFileName))
                    {
                        name = _found.cFileName;
                        type = TypeOfFound(_found);
                        if (IsWine() && (type == EntryType::File || type == EntryType::Directory))
                        {
                            type = WineType(name, type);
                        }
                        return true;
                    }
                }
            }

        private:
            // Wine lists a Linux symbolic link as what it leads to (links to nothing not at all): each
            // entry is opened to see where it leads, against the folder's own place, found once.
            EntryType WineType(const NativeString& name, EntryType type)
            {
                if (_folderFinal.empty())
                {
                    FileHandle folder(OpenEntry(_folder, 0, true));
                    if (!folder || FinalPathOf(folder.Get(), _folderFinal))
                    {
                        return type;
                    }
                }
                const NativeString path = _folder + L"\\" + name;
                FileHandle entry(OpenEntry(path, 0, true));
                NativeString final;
                if (!entry || FinalPathOf(entry.Get(), final) || !IsLinkByFinalPath(final, _folderFinal, name))
                {
                    return type;
                }
                return type == EntryType::Directory ? EntryType::DirectoryLink : EntryType::FileLink;
            }

            FindHandle _search;
            WIN32_FIND_DATAW _found;
            NativeString _folder;
            NativeString _folderFinal;
            bool _bIsFirst;
        };

        class WindowsReader final : public Reader
        {
        public:
            explicit WindowsReader(FileHandle file) : _file(std::move(file)) {}

            std::error_code Read(char* buffer, std::size_t size, std::size_t& got) override
            {
                DWORD read = 0;
                const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
                if (!::ReadFile(_file.Get(), buffer, chunk, &read, nullptr))
                {
                    return LastSystemError();
                }
                got = read;
                return {};
            }

        private:
            FileHandle _file;
        };

        class WindowsLock final : public FileLock
        {
        public:
            explicit WindowsLock(FileHandle file) : _file(std::move(file)) {}

        private:
            // The lock ends with the handle, and with the process however it ends.
            FileHandle _file;
        };

        // The lock covers one byte far beyond the end of the file, so that reading the file through
        // another handle is never refused because of it.
        constexpr DWORD LockOffsetHigh = 0x40000000;

        class WindowsFileSystem final : public FileSystem
        {
        public:
            std::error_code InstallationRoot(NativeString& root) override
            {
                std::wstring buffer;
                if (const std::error_code error = GrowingPathCall(buffer, [](wchar_t* data, DWORD size) {
                        return ::GetFullPathNameW(L".", size, data, nullptr);
                    }))
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

            std::string DisplayPath(const NativeString& path) override { return ToUtf8(WithoutLongPrefix(path)); }

            std::error_code Status(const NativeString& path, EntryStatus& status) override
            {
                return StatusAt(path, false, status);
            }

            std::error_code StatusFollowingLinks(const NativeString& path, EntryStatus& status) override
            {
                return StatusAt(path, true, status);
            }

            std::error_code Rename(const NativeString& from, const NativeString& to, RenameMode mode) override
            {
                if (mode == RenameMode::Exchange)
                {
                    return std::make_error_code(std::errc::operation_not_supported);
                }
                // Without MOVEFILE_COPY_ALLOWED: across volumes it fails, and the caller copies instead.
                const DWORD flags =
                    MOVEFILE_WRITE_THROUGH | (mode == RenameMode::Replace ? MOVEFILE_REPLACE_EXISTING : 0);
                return ::MoveFileExW(from.c_str(), to.c_str(), flags) ? std::error_code{} : LastSystemError();
            }

            std::error_code HardLink(const NativeString& existing, const NativeString& link) override
            {
                return ::CreateHardLinkW(link.c_str(), existing.c_str(), nullptr) ? std::error_code{}
                                                                                  : LastSystemError();
            }

            std::error_code CopyToNewFile(const NativeString& source, const NativeString& target) override
            {
                // Follows a link: its content is what gets installed. Keeps attributes, times and streams.
                if (!::CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS))
                {
                    const std::error_code error = LastSystemError();
                    if (!IsAlreadyExisting(error))
                    {
                        ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
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

            std::error_code RemoveFile(const NativeString& path) override
            {
                if (IsWineLinkAt(path))
                {
                    return SystemError(ERROR_NOT_SUPPORTED);
                }
                if (::DeleteFileW(path.c_str()))
                {
                    return {};
                }
                const DWORD code = ::GetLastError();
                DWORD attributes = 0;
                return IsRefusedAsReadOnly(code, path, attributes) ? RemoveReadOnlyFile(path, attributes)
                                                                   : SystemError(code);
            }

            // The attribute goes for the removal (for every name of the file) and comes back, through a
            // handle that outlives the name, for the file's other hard links.
            static std::error_code RemoveReadOnlyFile(const NativeString& path, DWORD attributes)
            {
                const FileHandle file(OpenEntry(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, false));
                BY_HANDLE_FILE_INFORMATION info{};
                if (!file || !::GetFileInformationByHandle(file.Get(), &info))
                {
                    return LastSystemError();
                }
                if (!::SetFileAttributesW(path.c_str(), WindowsAttributesWithReadOnly(attributes, false)))
                {
                    return LastSystemError();
                }
                if (!::DeleteFileW(path.c_str()))
                {
                    const std::error_code error = LastSystemError();
                    ::SetFileAttributesW(path.c_str(), attributes);
                    return error;
                }
                if (info.nNumberOfLinks > 1)
                {
                    FILE_BASIC_INFO basic{}; // times of zero: unchanged
                    basic.FileAttributes = WindowsAttributesWithReadOnly(attributes, true);
                    ::SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof(basic));
                }
                return {};
            }

            std::error_code MakeFolder(const NativeString& path) override
            {
                return ::CreateDirectoryW(path.c_str(), nullptr) ? std::error_code{} : LastSystemError();
            }

            std::error_code RemoveEmptyFolder(const NativeString& path) override
            {
                if (IsWineLinkAt(path))
                {
                    return SystemError(ERROR_NOT_SUPPORTED);
                }
                if (::RemoveDirectoryW(path.c_str()))
                {
                    return {};
                }
                const DWORD code = ::GetLastError();
                if (code == ERROR_DIR_NOT_EMPTY && IsWine() && ListsNothing(path))
                {
                    // What keeps it is a link to nothing, which Wine neither lists nor removes.
                    return SystemError(ERROR_NOT_SUPPORTED);
                }
                DWORD attributes = 0;
                if (IsRefusedAsReadOnly(code, path, attributes))
                {
                    ::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
                    if (::RemoveDirectoryW(path.c_str()))
                    {
                        return {};
                    }
                    ::SetFileAttributesW(path.c_str(), attributes);
                }
                return SystemError(code);
            }

            std::error_code SetReadOnly(const NativeString& path, bool bIsReadOnly) override
            {
                const DWORD attributes = ::GetFileAttributesW(path.c_str());
                if (attributes == INVALID_FILE_ATTRIBUTES)
                {
                    return LastSystemError();
                }
                if (((attributes & FILE_ATTRIBUTE_READONLY) != 0) == bIsReadOnly)
                {
                    return {};
                }
                return ::SetFileAttributesW(path.c_str(), WindowsAttributesWithReadOnly(attributes, bIsReadOnly))
                           ? std::error_code{}
                           : LastSystemError();
            }

            std::error_code WriteNewFile(const NativeString& path, const std::string& bytes) override
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

            std::error_code OpenReader(const NativeString& path, std::unique_ptr<Reader>& reader) override
            {
                FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
                if (!file)
                {
                    return LastSystemError();
                }
                reader = std::make_unique<WindowsReader>(std::move(file));
                return {};
            }

            std::error_code OpenListing(const NativeString& folder, bool, std::unique_ptr<Listing>& listing) override
            {
                const NativeString pattern = folder + L"\\*";
                WIN32_FIND_DATAW found{};
                HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
                if (search == INVALID_HANDLE_VALUE)
                {
                    const DWORD code = ::GetLastError();
                    // "No file found" is an empty listing; "path not found" is not: the folder was listed.
                    if (code != ERROR_FILE_NOT_FOUND)
                    {
                        return SystemError(code);
                    }
                }
                listing = std::make_unique<WindowsListing>(FindHandle(search), found, folder);
                return {};
            }

            std::error_code FlushDirectory(const NativeString&) override
            {
                return {}; // every rename was written through
            }

            std::error_code FlushFileSystem(const NativeString&) override
            {
                // A whole volume can be flushed by administrators only: each file is flushed instead.
                return {};
            }

            std::error_code FlushFile(const NativeString& path) override
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
                std::error_code error;
                {
                    FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, ShareAll, nullptr, OPEN_EXISTING,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
                    if (!file || !::FlushFileBuffers(file.Get()))
                    {
                        error = LastSystemError();
                    }
                }
                if (readOnly && !::SetFileAttributesW(path.c_str(), attributes) && !error)
                {
                    return LastSystemError();
                }
                return error;
            }

            bool FlushesEachFile() const override { return true; }

            bool KeepsIdsWhenMoved(const NativeString& path) override
            {
                // Wine names every Linux file system NTFS and gives its inode numbers as ids, which exFAT
                // and vfat (a handheld's SD card) make up anew at each mount: nothing there can be trusted.
                if (IsWine())
                {
                    return false;
                }
                const FileHandle file(OpenEntry(path, 0, true));
                wchar_t name[MAX_PATH + 1] = {};
                if (!file || !::GetVolumeInformationByHandleW(file.Get(), nullptr, 0, nullptr, nullptr, nullptr, name,
                                                              MAX_PATH + 1))
                {
                    return true; // then nothing is known against them
                }
                return KeepsIdsWhenMovedByName(ToUtf8(name));
            }

            std::error_code ReadLink(const NativeString&, NativeString&) override
            {
                // A link's content is installed, never the link.
                return std::make_error_code(std::errc::operation_not_supported);
            }

            std::error_code FinalPath(const NativeString& path, NativeString& final) override
            {
                FileHandle file(OpenEntry(path, 0, true));
                if (!file)
                {
                    return LastSystemError();
                }
                return FinalPathOf(file.Get(), final);
            }

            std::error_code LongName(const NativeString& path, NativeString& name) override
            {
                const NativeString last = path.substr(path.rfind(L'\\') + 1);
                // A name with wildcard characters is no short name, and would be taken for a pattern.
                if (last.find_first_of(L"*?<>\"") != NativeString::npos)
                {
                    name = last;
                    return {};
                }
                // The search for the path itself finds the one entry it reaches and gives its long name, for
                // the last element only (GetLongPathNameW would search every folder on the way, and under
                // Wine resolves nothing in a "\\?\" path).
                WIN32_FIND_DATAW found{};
                const FindHandle search(
                    ::FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
                if (!search)
                {
                    return LastSystemError();
                }
                name = found.cFileName;
                return {};
            }

            std::error_code CheckReplaceable(const NativeString& path) override
            {
                // The access a rename over the file needs: fails while someone holds it without delete sharing.
                FileHandle file(OpenEntry(path, DELETE | FILE_READ_ATTRIBUTES, false));
                return file ? std::error_code{} : LastSystemError();
            }

            std::error_code TryLock(const NativeString& path, std::unique_ptr<FileLock>& lock) override
            {
                FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
                if (!file)
                {
                    return LastSystemError();
                }
                OVERLAPPED at{};
                at.OffsetHigh = LockOffsetHigh;
                if (!::LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
                {
                    return LastSystemError();
                }
                lock = std::make_unique<WindowsLock>(std::move(file));
                return {};
            }

            bool IsHeldByAnother(const std::error_code& error, const NativeString& path) override
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
                    // Also what a file being deleted by someone else answers, and a folder with an open file
                    // in it; a read-only file answers it for good.
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

            std::string HoldersOf(const NativeString& path) override
            {
                // The Restart Manager is given the path as programs know it.
                return DescribeFileHolders(std::filesystem::path(WithoutLongPrefix(path)));
            }

            NativeString FoldCase(const NativeString& name) override
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

            std::uint64_t RandomBits() override
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
                return bits ^ (static_cast<std::uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15ull) ^
                       ::GetCurrentProcessId();
            }
        };
    }

    FileSystem& SystemFileSystem()
    {
        static WindowsFileSystem fileSystem;
        return fileSystem;
    }
}
