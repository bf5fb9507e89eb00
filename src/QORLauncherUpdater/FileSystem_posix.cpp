#include "FileSystem.h"

#include <qor/Foundation/Platform_posix.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace QOR::Update::FileSystem
{
    namespace
    {
        using Detail::CloseReporting;
        using Detail::ErrorOf;
        using Detail::LastSystemError;
        using Detail::RetryOnInterrupt;
        using Detail::SystemError;
        using Detail::UniqueFd;

        struct DirectoryStreamTraits
        {
            using Handle = DIR*;

            static Handle Invalid() noexcept { return nullptr; }
            static bool IsValid(Handle stream) noexcept { return stream != nullptr; }
            static void Close(Handle stream) noexcept { ::closedir(stream); }
        };
        using DirectoryStream = UniqueHandle<DirectoryStreamTraits>;

        UniqueFd Open(const NativeString& path, int flags, mode_t mode = 0)
        {
            return Detail::OpenFile(path.c_str(), flags, mode);
        }

        // A folder opened for listing; `parent` is the open folder `name` lies in, or -1 for a path.
        std::error_code OpenFolder(int parent, const char* name, bool followLink, DirectoryStream& stream)
        {
            const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
            UniqueFd descriptor(
                RetryOnInterrupt([&] { return ::openat(parent < 0 ? AT_FDCWD : parent, name, flags); }));
            if (!descriptor)
            {
                return LastSystemError();
            }
            DIR* const opened = ::fdopendir(descriptor.Get());
            if (opened == nullptr)
            {
                return LastSystemError();
            }
            // The stream owns the descriptor from here on.
            (void)descriptor.Release();
            stream.Reset(opened);
            return {};
        }

        EntryType TypeOfMode(mode_t mode)
        {
            if (S_ISREG(mode))
            {
                return EntryType::File;
            }
            if (S_ISDIR(mode))
            {
                return EntryType::Directory;
            }
            return EntryType::Other;
        }

        // A link is a folder link when what it finally names is a folder.
        EntryType TypeOfLink(int folder, const char* name)
        {
            struct stat target
            {
            };
            if (::fstatat(folder, name, &target, 0) == 0 && S_ISDIR(target.st_mode))
            {
                return EntryType::DirectoryLink;
            }
            return EntryType::FileLink;
        }

        // The type of a listed entry; Missing when it vanished since it was listed.
        std::error_code TypeOfListed(int folder, const dirent& entry, EntryType& type)
        {
            switch (entry.d_type)
            {
            case DT_REG:
                type = EntryType::File;
                return {};
            case DT_DIR:
                type = EntryType::Directory;
                return {};
            case DT_LNK:
                type = TypeOfLink(folder, entry.d_name);
                return {};
            case DT_UNKNOWN:
                break;
            default:
                type = EntryType::Other;
                return {};
            }
            // File systems that do not fill in the type.
            struct stat info
            {
            };
            if (::fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            {
                if (errno == ENOENT)
                {
                    type = EntryType::Missing;
                    return {};
                }
                return LastSystemError();
            }
            type = S_ISLNK(info.st_mode) ? TypeOfLink(folder, entry.d_name) : TypeOfMode(info.st_mode);
            return {};
        }

        bool IsDotOrDotDot(const char* name)
        {
            return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
        }

        // Reads the next entry; false at the end (or with `error` set).
        bool NextEntry(DIR* stream, dirent*& entry, std::error_code& error)
        {
            errno = 0;
            entry = ::readdir(stream);
            if (entry == nullptr && errno != 0)
            {
                error = LastSystemError();
            }
            return entry != nullptr;
        }

        std::error_code WriteAll(int descriptor, const char* data, std::size_t size)
        {
            while (size > 0)
            {
                const ssize_t put = RetryOnInterrupt([&] { return ::write(descriptor, data, size); });
                if (put < 0)
                {
                    return LastSystemError();
                }
                data += put;
                size -= static_cast<std::size_t>(put);
            }
            return {};
        }

        std::error_code CopyContents(int from, int to, off_t size)
        {
            // The kernel copies (and may share blocks) where it can; plain reads and writes elsewhere.
            off_t left = size;
            while (left > 0)
            {
                const ssize_t moved = RetryOnInterrupt(
                    [&] { return ::copy_file_range(from, nullptr, to, nullptr, static_cast<std::size_t>(left), 0); });
                if (moved < 0)
                {
                    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)
                    {
                        break;
                    }
                    return LastSystemError();
                }
                if (moved == 0)
                {
                    break;
                }
                left -= moved;
            }
            const std::size_t capacity = static_cast<std::size_t>(std::clamp<off_t>(left + 1, 4096, off_t{1} << 20));
            const std::unique_ptr<char[]> buffer(new char[capacity]);
            for (;;)
            {
                const ssize_t got = RetryOnInterrupt([&] { return ::read(from, buffer.get(), capacity); });
                if (got < 0)
                {
                    return LastSystemError();
                }
                if (got == 0)
                {
                    return {};
                }
                if (const std::error_code error = WriteAll(to, buffer.get(), static_cast<std::size_t>(got)))
                {
                    return error;
                }
            }
        }

        std::error_code CopyLink(const NativeString& source, const NativeString& target)
        {
            NativeString text;
            if (const std::error_code error = ReadLink(source, text))
            {
                return error;
            }
            return ErrorOf(::symlink(text.c_str(), target.c_str()));
        }

        std::error_code CopyRegularFile(const NativeString& source, const NativeString& target)
        {
            // Non-blocking and without following a link, so a planted FIFO can neither block nor
            // redirect the copy.
            UniqueFd input = Open(source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
            if (!input)
            {
                return LastSystemError();
            }
            struct stat info
            {
            };
            if (::fstat(input.Get(), &info) != 0)
            {
                return LastSystemError();
            }
            if (!S_ISREG(info.st_mode))
            {
                return SystemError(EOPNOTSUPP);
            }
            UniqueFd output = Open(target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, S_IRUSR | S_IWUSR);
            if (!output)
            {
                return LastSystemError();
            }
            std::error_code error = CopyContents(input.Get(), output.Get(), info.st_size);
            struct stat made
            {
            };
            if (!error && ::fstat(output.Get(), &made) != 0)
            {
                error = LastSystemError();
            }
            // The umask must not strip an executable bit; a set-ID bit must not survive a change of owner.
            mode_t mode = info.st_mode & 07777;
            if (made.st_uid != info.st_uid)
            {
                mode &= ~mode_t{S_ISUID};
            }
            if (made.st_gid != info.st_gid)
            {
                mode &= ~mode_t{S_ISGID};
            }
            if (!error && ::fchmod(output.Get(), mode) != 0)
            {
                error = LastSystemError();
            }
            if (!error && RetryOnInterrupt([&] { return ::fsync(output.Get()); }) != 0)
            {
                error = LastSystemError();
            }
            const std::error_code closed = CloseReporting(output);
            return error ? error : closed;
        }
    }

    std::error_code InstallationRoot(NativeString& root)
    {
        root = ".";
        return {};
    }

    std::string DisplayPath(const NativeString& path)
    {
        if (path != "." && path.rfind("./", 0) != 0)
        {
            return ToUtf8(path);
        }
        std::vector<char> buffer(4096);
        while (::getcwd(buffer.data(), buffer.size()) == nullptr)
        {
            if (errno != ERANGE)
            {
                return ToUtf8(path);
            }
            buffer.resize(buffer.size() * 2);
        }
        return ToUtf8(NativeString(buffer.data()) + path.substr(1));
    }

    std::error_code Status(const NativeString& path, EntryType& type)
    {
        struct stat info
        {
        };
        if (::lstat(path.c_str(), &info) != 0)
        {
            if (errno == ENOENT)
            {
                type = EntryType::Missing;
                return {};
            }
            return LastSystemError();
        }
        type = S_ISLNK(info.st_mode) ? TypeOfLink(AT_FDCWD, path.c_str()) : TypeOfMode(info.st_mode);
        return {};
    }

    std::error_code StatusFollowingLinks(const NativeString& path, EntryType& type)
    {
        struct stat info
        {
        };
        if (::stat(path.c_str(), &info) != 0)
        {
            if (errno == ENOENT)
            {
                type = EntryType::Missing;
                return {};
            }
            return LastSystemError();
        }
        type = TypeOfMode(info.st_mode);
        return {};
    }

    std::error_code SameFile(const NativeString& left, const NativeString& right, bool& same)
    {
        struct stat a
        {
        };
        struct stat b
        {
        };
        if (::lstat(left.c_str(), &a) != 0 || ::lstat(right.c_str(), &b) != 0)
        {
            return LastSystemError();
        }
        same = a.st_dev == b.st_dev && a.st_ino == b.st_ino;
        return {};
    }

    std::error_code SameContent(const NativeString& left, const NativeString& right, bool& same)
    {
        same = false;
        struct stat linkA
        {
        };
        struct stat linkB
        {
        };
        if (::lstat(left.c_str(), &linkA) != 0 || ::lstat(right.c_str(), &linkB) != 0)
        {
            return LastSystemError();
        }
        if (S_ISLNK(linkA.st_mode) || S_ISLNK(linkB.st_mode))
        {
            // Links are the same when they say the same.
            NativeString textA;
            NativeString textB;
            if (!S_ISLNK(linkA.st_mode) || !S_ISLNK(linkB.st_mode))
            {
                return {};
            }
            std::error_code error = ReadLink(left, textA);
            if (error || (error = ReadLink(right, textB)))
            {
                return error;
            }
            same = textA == textB;
            return {};
        }
        UniqueFd a = Open(left, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
        UniqueFd b = Open(right, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
        if (!a || !b)
        {
            return LastSystemError();
        }
        struct stat infoA
        {
        };
        struct stat infoB
        {
        };
        if (::fstat(a.Get(), &infoA) != 0 || ::fstat(b.Get(), &infoB) != 0)
        {
            return LastSystemError();
        }
        if (!S_ISREG(infoA.st_mode) || !S_ISREG(infoB.st_mode) || infoA.st_mode != infoB.st_mode ||
            infoA.st_size != infoB.st_size)
        {
            return {};
        }
        constexpr std::size_t Chunk = 1 << 16;
        const std::unique_ptr<char[]> bufferA(new char[Chunk]);
        const std::unique_ptr<char[]> bufferB(new char[Chunk]);
        for (;;)
        {
            const ssize_t gotA = RetryOnInterrupt([&] { return ::read(a.Get(), bufferA.get(), Chunk); });
            if (gotA < 0)
            {
                return LastSystemError();
            }
            std::size_t gotB = 0;
            while (gotB < static_cast<std::size_t>(gotA))
            {
                const ssize_t got = RetryOnInterrupt(
                    [&] { return ::read(b.Get(), bufferB.get() + gotB, static_cast<std::size_t>(gotA) - gotB); });
                if (got < 0)
                {
                    return LastSystemError();
                }
                if (got == 0)
                {
                    return {};
                }
                gotB += static_cast<std::size_t>(got);
            }
            if (gotA == 0)
            {
                same = true;
                return {};
            }
            if (std::memcmp(bufferA.get(), bufferB.get(), gotB) != 0)
            {
                return {};
            }
        }
    }

    std::error_code FileSystemOf(const NativeString& path, std::uint64_t& device)
    {
        struct stat info
        {
        };
        if (::stat(path.c_str(), &info) != 0)
        {
            return LastSystemError();
        }
        device = static_cast<std::uint64_t>(info.st_dev);
        return {};
    }

    std::error_code Rename(const NativeString& from, const NativeString& to, Replace replace)
    {
        if (replace == Replace::Yes)
        {
            return ErrorOf(::rename(from.c_str(), to.c_str()));
        }
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        {
            return {};
        }
        if (errno != EINVAL && errno != ENOSYS)
        {
            return LastSystemError();
        }
        // File systems without the flag: nothing else writes into the installation meanwhile, so a
        // check just before is enough.
        struct stat info
        {
        };
        if (::lstat(to.c_str(), &info) == 0)
        {
            return SystemError(EEXIST);
        }
        return ErrorOf(::rename(from.c_str(), to.c_str()));
    }

    std::error_code HardLink(const NativeString& existing, const NativeString& link)
    {
        // Without AT_SYMLINK_FOLLOW: a symbolic link is linked itself, as it is moved and restored.
        return ErrorOf(::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, link.c_str(), 0));
    }

    std::error_code CopyToNewFile(const NativeString& source, const NativeString& target)
    {
        struct stat info
        {
        };
        if (::lstat(source.c_str(), &info) != 0)
        {
            return LastSystemError();
        }
        const std::error_code error =
            S_ISLNK(info.st_mode) ? CopyLink(source, target) : CopyRegularFile(source, target);
        if (error && !IsAlreadyExisting(error))
        {
            ::unlink(target.c_str());
        }
        return error;
    }

    std::error_code RemoveFile(const NativeString& path)
    {
        return ErrorOf(::unlink(path.c_str()));
    }

    std::error_code MakeFolder(const NativeString& path)
    {
        return ErrorOf(::mkdir(path.c_str(), 0777));
    }

    std::error_code RemoveEmptyFolder(const NativeString& path)
    {
        return ErrorOf(::rmdir(path.c_str()));
    }

    std::error_code RemoveTree(const NativeString& path)
    {
        // remove_all never follows symbolic links: a link is removed, not what it points to.
        std::error_code error;
        std::filesystem::remove_all(std::filesystem::path(path), error);
        return error;
    }

    std::error_code WriteNewFile(const NativeString& path, const std::string& bytes)
    {
        UniqueFd file = Open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, S_IRUSR | S_IWUSR);
        if (!file)
        {
            return LastSystemError();
        }
        if (const std::error_code error = WriteAll(file.Get(), bytes.data(), bytes.size()))
        {
            return error;
        }
        if (RetryOnInterrupt([&] { return ::fsync(file.Get()); }) != 0)
        {
            return LastSystemError();
        }
        return CloseReporting(file);
    }

    std::error_code ReadWholeFile(const NativeString& path, std::string& bytes)
    {
        UniqueFd file = Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
        if (!file)
        {
            return LastSystemError();
        }
        struct stat info
        {
        };
        if (::fstat(file.Get(), &info) != 0)
        {
            return LastSystemError();
        }
        if (!S_ISREG(info.st_mode))
        {
            return SystemError(EINVAL);
        }
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < bytes.size())
        {
            const ssize_t got =
                RetryOnInterrupt([&] { return ::read(file.Get(), bytes.data() + done, bytes.size() - done); });
            if (got < 0)
            {
                return LastSystemError();
            }
            if (got == 0)
            {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        bytes.resize(done);
        return {};
    }

    std::error_code FlushDirectory(const NativeString& path)
    {
        UniqueFd folder = Open(path, O_RDONLY | O_DIRECTORY);
        if (!folder)
        {
            return LastSystemError();
        }
        return ErrorOf(RetryOnInterrupt([&] { return ::fsync(folder.Get()); }));
    }

    std::error_code FlushFileSystem(const NativeString& path)
    {
        UniqueFd folder = Open(path, O_RDONLY | O_DIRECTORY);
        if (!folder)
        {
            return LastSystemError();
        }
        return ErrorOf(RetryOnInterrupt([&] { return ::syncfs(folder.Get()); }));
    }

    std::error_code FlushFile(const NativeString&)
    {
        // The file systems are flushed whole.
        return {};
    }

    bool FlushesEachFile()
    {
        return false;
    }

    std::error_code ReadLink(const NativeString& link, NativeString& text)
    {
        std::vector<char> buffer(256);
        for (;;)
        {
            const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
            if (length < 0)
            {
                return LastSystemError();
            }
            if (static_cast<std::size_t>(length) < buffer.size())
            {
                text.assign(buffer.data(), static_cast<std::size_t>(length));
                return {};
            }
            buffer.resize(buffer.size() * 2);
        }
    }

    std::error_code FinalPath(const NativeString& path, NativeString& final)
    {
        const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
        if (!resolved)
        {
            return LastSystemError();
        }
        final = resolved.get();
        return {};
    }

    std::error_code CheckReplaceable(const NativeString&)
    {
        // Nothing holds a file against a rename here.
        return {};
    }

    std::error_code Walk(const NativeString& root, const WalkVisitor& visit, NativeString& failedRelative)
    {
        struct Level
        {
            DirectoryStream stream;
            std::size_t relativeLength;
        };
        std::vector<Level> stack;
        NativeString relative;
        {
            DirectoryStream top;
            // The staging folder itself may be a link: it is followed, links below it are not.
            if (const std::error_code error = OpenFolder(-1, root.c_str(), true, top))
            {
                failedRelative.clear();
                return error;
            }
            stack.push_back({std::move(top), 0});
        }
        while (!stack.empty())
        {
            Level& level = stack.back();
            dirent* entry = nullptr;
            std::error_code error;
            if (!NextEntry(level.stream.Get(), entry, error))
            {
                if (error)
                {
                    failedRelative = relative.substr(0, level.relativeLength);
                    return error;
                }
                stack.pop_back();
                continue;
            }
            if (IsDotOrDotDot(entry->d_name))
            {
                continue;
            }
            const int folder = ::dirfd(level.stream.Get());
            EntryType type = EntryType::Missing;
            if (const std::error_code typeError = TypeOfListed(folder, *entry, type))
            {
                failedRelative = relative.substr(0, level.relativeLength);
                return typeError;
            }
            if (type == EntryType::Missing)
            {
                continue; // vanished after it was listed
            }
            relative.resize(level.relativeLength);
            if (!relative.empty())
            {
                relative.push_back(Separator);
            }
            relative.append(entry->d_name);
            if (const std::error_code visitError = visit(relative, type))
            {
                return visitError;
            }
            if (type == EntryType::Directory)
            {
                DirectoryStream inner;
                if (const std::error_code openError = OpenFolder(folder, entry->d_name, false, inner))
                {
                    if (openError == std::errc::no_such_file_or_directory)
                    {
                        continue; // vanished after it was listed
                    }
                    failedRelative = relative;
                    return openError;
                }
                const std::size_t length = relative.size();
                stack.push_back({std::move(inner), length});
            }
        }
        return {};
    }

    std::error_code ListFolder(const NativeString& folder,
                               const std::function<void(const NativeString& name, EntryType type)>& visit)
    {
        DirectoryStream stream;
        if (const std::error_code error = OpenFolder(-1, folder.c_str(), true, stream))
        {
            return error;
        }
        dirent* entry = nullptr;
        std::error_code error;
        while (NextEntry(stream.Get(), entry, error))
        {
            EntryType type = EntryType::Missing;
            if (IsDotOrDotDot(entry->d_name) || TypeOfListed(::dirfd(stream.Get()), *entry, type) ||
                type == EntryType::Missing)
            {
                continue;
            }
            visit(entry->d_name, type);
        }
        return error;
    }

    bool IsNotFound(const std::error_code& error)
    {
        return error == std::errc::no_such_file_or_directory;
    }

    bool IsAlreadyExisting(const std::error_code& error)
    {
        return error == std::errc::file_exists;
    }

    bool IsCrossDevice(const std::error_code& error)
    {
        return error == std::errc::cross_device_link;
    }

    bool IsLinkUnsupported(const std::error_code& error)
    {
        // vfat and exfat answer EPERM; so does fs.protected_hardlinks for a file the user does not own.
        return error == std::errc::operation_not_permitted || error == std::errc::operation_not_supported ||
               error == std::errc::too_many_links || error == std::errc::function_not_supported || IsCrossDevice(error);
    }

    bool IsNotEmpty(const std::error_code& error)
    {
        return error == std::errc::directory_not_empty || error == std::errc::file_exists;
    }

    bool IsHeldByAnother(const std::error_code&, const NativeString&)
    {
        return false;
    }

    std::string HoldersOf(const NativeString&)
    {
        return {};
    }

    std::uint64_t RandomBits()
    {
        std::uint64_t bits = 0;
        if (::getrandom(&bits, sizeof(bits), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(bits)))
        {
            return bits;
        }
        // Early in boot: the names only need to differ from what is on disk, which the exclusive
        // creation of each working file checks anyway.
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        return static_cast<std::uint64_t>(now) * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(::getpid());
    }

    NativeString FoldCase(const NativeString& name)
    {
        return name;
    }
}
