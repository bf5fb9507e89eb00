#include "UpdateFiles.h"

#include <memory>
#include <utility>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace QOR::Update::Platform
{
    namespace fs = std::filesystem;

    namespace
    {
        std::error_code LastError()
        {
            return {static_cast<int>(::GetLastError()), std::system_category()};
        }

        // Owns one kernel handle.
        class FileHandle
        {
        public:
            explicit FileHandle(HANDLE handle) noexcept : _handle(handle) {}
            FileHandle(const FileHandle&) = delete;
            FileHandle& operator=(const FileHandle&) = delete;
            ~FileHandle()
            {
                if (*this)
                {
                    ::CloseHandle(_handle);
                }
            }
            explicit operator bool() const noexcept { return _handle != INVALID_HANDLE_VALUE && _handle != nullptr; }
            HANDLE Get() const noexcept { return _handle; }

        private:
            HANDLE _handle = INVALID_HANDLE_VALUE;
        };

        // Owns one directory search.
        class FindHandle
        {
        public:
            explicit FindHandle(HANDLE handle) noexcept : _handle(handle) {}
            FindHandle(const FindHandle&) = delete;
            FindHandle& operator=(const FindHandle&) = delete;
            ~FindHandle()
            {
                if (*this)
                {
                    ::FindClose(_handle);
                }
            }
            explicit operator bool() const noexcept { return _handle != INVALID_HANDLE_VALUE; }
            HANDLE Get() const noexcept { return _handle; }

        private:
            HANDLE _handle = INVALID_HANDLE_VALUE;
        };

        std::error_code FlushFile(const std::wstring& path)
        {
            FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file)
            {
                return LastError();
            }
            if (!::FlushFileBuffers(file.Get()))
            {
                return LastError();
            }
            return {};
        }

        bool IsMissingCode(DWORD code)
        {
            return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH ||
                   code == ERROR_INVALID_NAME;
        }

        std::error_code RemoveEntry(const std::wstring& path)
        {
            const DWORD attributes = ::GetFileAttributesW(path.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES)
            {
                const DWORD code = ::GetLastError();
                return IsMissingCode(code) ? std::error_code{} : std::error_code(static_cast<int>(code), std::system_category());
            }
            std::error_code firstError;
            const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            const bool isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            // A junction or directory link is removed itself; what it points to is never entered.
            if (isDirectory && !isLink)
            {
                WIN32_FIND_DATAW found{};
                FindHandle search(::FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                                     FindExSearchNameMatch, nullptr, 0));
                if (!search)
                {
                    const DWORD code = ::GetLastError();
                    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_NO_MORE_FILES)
                    {
                        return {static_cast<int>(code), std::system_category()};
                    }
                }
                else
                {
                    do
                    {
                        const std::wstring name = found.cFileName;
                        if (name == L"." || name == L"..")
                        {
                            continue;
                        }
                        std::error_code error = RemoveEntry(path + L"\\" + name);
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
                firstError = LastError();
            }
            return firstError;
        }
    }

    std::error_code WriteTemporary(const fs::path& source, const fs::path& temporary)
    {
        // CopyFileW keeps the staged file's attributes, as the plain copy would.
        if (!::CopyFileW(source.c_str(), temporary.c_str(), TRUE))
        {
            return LastError();
        }
        const DWORD attributes = ::GetFileAttributesW(temporary.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
        {
            return LastError();
        }
        // There is no flush of a whole volume without administrator rights: each file is flushed here.
        const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (readOnly && !::SetFileAttributesW(temporary.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}))
        {
            return LastError();
        }
        if (std::error_code error = FlushFile(temporary.native()))
        {
            return error;
        }
        if (readOnly && !::SetFileAttributesW(temporary.c_str(), attributes))
        {
            return LastError();
        }
        return {};
    }

    std::error_code CommitTemporary(const fs::path& temporary, const fs::path& target)
    {
        // Fails while another process holds the target open without delete sharing: the file stays old.
        if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        {
            return LastError();
        }
        return {};
    }

    void DiscardTemporary(const fs::path& temporary)
    {
        ::SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(temporary.c_str());
    }

    std::error_code FlushToDisk(const fs::path&)
    {
        // Every file was flushed when written, and each rename was written through.
        return {};
    }

    std::error_code RemoveTree(const fs::path& path)
    {
        return RemoveEntry(path.native());
    }

    fs::path FinalPath(const fs::path& path, std::error_code& error)
    {
        error.clear();
        // Backup semantics let a directory be opened as well.
        FileHandle file(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file)
        {
            error = LastError();
            return {};
        }
        std::wstring buffer(MAX_PATH, L'\0');
        for (;;)
        {
            const DWORD length = ::GetFinalPathNameByHandleW(file.Get(), buffer.data(),
                                                             static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
            if (length == 0)
            {
                error = LastError();
                return {};
            }
            if (length < buffer.size())
            {
                buffer.resize(length);
                break;
            }
            buffer.resize(length + 1);
        }
        // Drop the long-path prefix so the result compares with ordinary paths.
        if (buffer.rfind(L"\\\\?\\UNC\\", 0) == 0)
        {
            buffer = L"\\\\" + buffer.substr(7);
        }
        else if (buffer.rfind(L"\\\\?\\", 0) == 0)
        {
            buffer.erase(0, 4);
        }
        return fs::path(buffer);
    }

    bool IsLink(const fs::path& path)
    {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }

    bool IsMissingEntryError(const std::error_code& error)
    {
        if (error.category() == std::system_category() && IsMissingCode(static_cast<DWORD>(error.value())))
        {
            return true;
        }
        return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
    }

    bool SameElement(const fs::path& left, const fs::path& right)
    {
        const std::wstring& a = left.native();
        const std::wstring& b = right.native();
        return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                      TRUE) == CSTR_EQUAL;
    }

    std::string ErrorText(const std::error_code& error)
    {
        if (error.category() != std::system_category())
        {
            return error.message();
        }
        wchar_t* text = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(error.value()), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        const std::unique_ptr<wchar_t, decltype(&::LocalFree)> owned(text, &::LocalFree);
        if (length == 0 || text == nullptr)
        {
            return "System error " + std::to_string(static_cast<unsigned long>(error.value()));
        }
        std::wstring wide(text, length);
        while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' '))
        {
            wide.pop_back();
        }
        return PathText(fs::path(wide));
    }
}
