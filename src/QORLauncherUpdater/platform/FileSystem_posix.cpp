#include "platform/FileSystem.h"

#include <qor/Foundation/Platform_posix.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace QOR::Update
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

        EntryStatus StatusOf(const struct stat& info, EntryType type)
        {
            EntryStatus status;
            status.type = type;
            status.id = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
            status.size = static_cast<std::uint64_t>(info.st_size);
            status.attributes = static_cast<std::uint32_t>(info.st_mode & 07777);
            return status;
        }

        std::error_code StatusAt(const NativeString& path, bool followLinks, EntryStatus& status)
        {
            struct stat info
            {
            };
            if ((followLinks ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0)
            {
                if (errno == ENOENT)
                {
                    status = EntryStatus{};
                    return {};
                }
                return LastSystemError();
            }
            const EntryType type =
                S_ISLNK(info.st_mode) ? TypeOfLink(AT_FDCWD, path.c_str()) : TypeOfMode(info.st_mode);
            status = StatusOf(info, type);
            return {};
        }

        class PosixListing final : public Listing
        {
        public:
            explicit PosixListing(DirectoryStream stream) : _stream(std::move(stream)) {}

            bool Next(NativeString& name, EntryType& type, std::error_code& error) override
            {
                for (;;)
                {
                    errno = 0;
                    const dirent* entry = ::readdir(_stream.Get());
                    if (entry == nullptr)
                    {
                        if (errno != 0)
                        {
                            error = LastSystemError();
                        }
                        return false;
                    }
                    if (IsDotOrDotDot(entry->d_name))
                    {
                        continue;
                    }
                    if (const std::error_code typeError = TypeOf(*entry, type))
                    {
                        error = typeError;
                        return false;
                    }
                    if (type == EntryType::Missing)
                    {
                        continue; // vanished after it was listed
                    }
                    name = entry->d_name;
                    return true;
                }
            }

        private:
            static bool IsDotOrDotDot(const char* name)
            {
                return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
            }

            std::error_code TypeOf(const dirent& entry, EntryType& type)
            {
                const int folder = ::dirfd(_stream.Get());
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

            DirectoryStream _stream;
        };

        class PosixReader final : public Reader
        {
        public:
            explicit PosixReader(UniqueFd file) : _file(std::move(file)) {}

            std::error_code Read(char* buffer, std::size_t size, std::size_t& got) override
            {
                const ssize_t read = RetryOnInterrupt([&] { return ::read(_file.Get(), buffer, size); });
                if (read < 0)
                {
                    return LastSystemError();
                }
                got = static_cast<std::size_t>(read);
                return {};
            }

        private:
            UniqueFd _file;
        };

        class PosixLock final : public FileLock
        {
        public:
            explicit PosixLock(UniqueFd file) : _file(std::move(file)) {}

        private:
            // flock belongs to the open file: closing it (or the process ending) lets the lock go.
            UniqueFd _file;
        };

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

        // Copies [offset, offset + length) at the same offset: the kernel copies (and may share blocks)
        // where it can, plain reads and writes elsewhere.
        std::error_code CopyRange(int from, int to, off_t offset, off_t length)
        {
            off_t in = offset;
            off_t out = offset;
            off_t left = length;
            while (left > 0)
            {
                const ssize_t moved = RetryOnInterrupt(
                    [&] { return ::copy_file_range(from, &in, to, &out, static_cast<std::size_t>(left), 0); });
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
                    return {}; // the file got shorter meanwhile
                }
                left -= moved;
            }
            const std::size_t capacity = static_cast<std::size_t>(std::clamp<off_t>(left, 4096, off_t{1} << 20));
            const std::unique_ptr<char[]> buffer(new char[capacity]);
            while (left > 0)
            {
                const std::size_t chunk = static_cast<std::size_t>(std::min<off_t>(left, static_cast<off_t>(capacity)));
                const ssize_t got = RetryOnInterrupt([&] { return ::pread(from, buffer.get(), chunk, in); });
                if (got <= 0)
                {
                    return got < 0 ? LastSystemError() : std::error_code{};
                }
                for (ssize_t done = 0; done < got;)
                {
                    const ssize_t put = RetryOnInterrupt(
                        [&] { return ::pwrite(to, buffer.get() + done, static_cast<std::size_t>(got - done), out); });
                    if (put < 0)
                    {
                        return LastSystemError();
                    }
                    done += put;
                    out += put;
                }
                in += got;
                left -= got;
            }
            return {};
        }

        // The data of a file, holes left as holes: only the ranges the file system says hold data are
        // copied, and the size is set at the end.
        std::error_code CopyContents(int from, int to, off_t size)
        {
            off_t at = 0;
            while (at < size)
            {
                const off_t data = ::lseek(from, at, SEEK_DATA);
                if (data < 0)
                {
                    if (errno == ENXIO)
                    {
                        break; // nothing but a hole to the end
                    }
                    if (errno != EINVAL && errno != EOPNOTSUPP)
                    {
                        return LastSystemError();
                    }
                    return CopyRange(from, to, at, size - at); // no hole information here
                }
                off_t hole = ::lseek(from, data, SEEK_HOLE);
                if (hole < 0)
                {
                    hole = size;
                }
                if (const std::error_code error = CopyRange(from, to, data, std::min(hole, size) - data))
                {
                    return error;
                }
                at = hole;
            }
            return ErrorOf(RetryOnInterrupt([&] { return ::ftruncate(to, size); }));
        }

        // Every extended attribute, file capabilities among them. A namespace the file system or the
        // user's rights do not allow is left out, as cp -a does.
        std::error_code CopyAttributes(int from, int to)
        {
            std::vector<char> names(1024);
            ssize_t length = 0;
            for (;;)
            {
                length = ::flistxattr(from, names.data(), names.size());
                if (length >= 0)
                {
                    break;
                }
                if (errno == ENOTSUP)
                {
                    return {};
                }
                if (errno != ERANGE)
                {
                    return LastSystemError();
                }
                names.resize(names.size() * 4);
            }
            std::vector<char> value(256);
            for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names.data() + at)) + 1)
            {
                const char* name = names.data() + at;
                ssize_t size = 0;
                while ((size = ::fgetxattr(from, name, value.data(), value.size())) < 0 && errno == ERANGE)
                {
                    value.resize(value.size() * 4);
                }
                if (size < 0)
                {
                    return LastSystemError();
                }
                if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0 && errno != ENOTSUP &&
                    errno != EPERM)
                {
                    return LastSystemError();
                }
            }
            return {};
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
            // After every write: writing a file drops its capabilities.
            if (!error)
            {
                error = CopyAttributes(input.Get(), output.Get());
            }
            const struct timespec times[2] = {info.st_atim, info.st_mtim};
            if (!error && ::futimens(output.Get(), times) != 0)
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

        class PosixFileSystem final : public FileSystem
        {
        public:
            std::error_code InstallationRoot(NativeString& root) override
            {
                root = ".";
                return {};
            }

            std::string DisplayPath(const NativeString& path) override
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
                if (mode == RenameMode::Replace)
                {
                    return ErrorOf(::rename(from.c_str(), to.c_str()));
                }
                const unsigned flags = mode == RenameMode::Exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE;
                if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) == 0)
                {
                    return {};
                }
                if (errno != EINVAL && errno != ENOSYS)
                {
                    return LastSystemError();
                }
                if (mode == RenameMode::Exchange)
                {
                    return std::make_error_code(std::errc::operation_not_supported);
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

            std::error_code HardLink(const NativeString& existing, const NativeString& link) override
            {
                // Without AT_SYMLINK_FOLLOW: a symbolic link is linked itself, as it is moved and restored.
                return ErrorOf(::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, link.c_str(), 0));
            }

            std::error_code CopyToNewFile(const NativeString& source, const NativeString& target) override
            {
                struct stat info
                {
                };
                if (::lstat(source.c_str(), &info) != 0)
                {
                    return LastSystemError();
                }
                std::error_code error;
                if (S_ISLNK(info.st_mode))
                {
                    NativeString text;
                    error = ReadLink(source, text);
                    if (!error)
                    {
                        error = ErrorOf(::symlink(text.c_str(), target.c_str()));
                    }
                }
                else
                {
                    error = CopyRegularFile(source, target);
                }
                if (error && error != std::errc::file_exists)
                {
                    ::unlink(target.c_str());
                }
                return error;
            }

            std::error_code RemoveFile(const NativeString& path) override { return ErrorOf(::unlink(path.c_str())); }

            std::error_code MakeFolder(const NativeString& path) override
            {
                return ErrorOf(::mkdir(path.c_str(), 0777));
            }

            std::error_code RemoveEmptyFolder(const NativeString& path) override
            {
                if (::rmdir(path.c_str()) == 0)
                {
                    return {};
                }
                const std::error_code error = LastSystemError();
                // A link to a folder is removed itself, as a junction is on Windows.
                struct stat info
                {
                };
                if (error == std::errc::not_a_directory && ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
                {
                    return ErrorOf(::unlink(path.c_str()));
                }
                return error;
            }

            std::error_code SetReadOnly(const NativeString&, bool) override
            {
                return {}; // no attribute keeps a file from being renamed over here
            }

            std::error_code WriteNewFile(const NativeString& path, const std::string& bytes) override
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
                // The caller's flush of the file system makes it durable with everything else.
                return CloseReporting(file);
            }

            std::error_code OpenReader(const NativeString& path, std::unique_ptr<Reader>& reader) override
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
                reader = std::make_unique<PosixReader>(std::move(file));
                return {};
            }

            std::error_code OpenListing(const NativeString& folder, bool followLink,
                                        std::unique_ptr<Listing>& listing) override
            {
                UniqueFd descriptor = Open(folder, O_RDONLY | O_DIRECTORY | (followLink ? 0 : O_NOFOLLOW));
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
                listing = std::make_unique<PosixListing>(DirectoryStream(opened));
                return {};
            }

            std::error_code FlushDirectory(const NativeString& path) override
            {
                UniqueFd folder = Open(path, O_RDONLY | O_DIRECTORY);
                if (!folder)
                {
                    return LastSystemError();
                }
                return ErrorOf(RetryOnInterrupt([&] { return ::fsync(folder.Get()); }));
            }

            std::error_code FlushFileSystem(const NativeString& path) override
            {
                UniqueFd folder = Open(path, O_RDONLY | O_DIRECTORY);
                if (!folder)
                {
                    return LastSystemError();
                }
                return ErrorOf(RetryOnInterrupt([&] { return ::syncfs(folder.Get()); }));
            }

            std::error_code FlushFile(const NativeString&) override
            {
                return {}; // the file systems are flushed whole
            }

            bool FlushesEachFile() const override { return false; }

            bool KeepsIdsWhenMoved(const NativeString& path) override
            {
                // vfat and exfat make an inode number up each time they first look at a file after a mount, and
                // so do most file systems behind FUSE (exfat-fuse does), which do not say what they are.
                constexpr decltype(statfs::f_type) MsdosMagic = 0x4d44;
                constexpr decltype(statfs::f_type) ExfatMagic = 0x2011BAB0;
                constexpr decltype(statfs::f_type) FuseMagic = 0x65735546;
                struct statfs info
                {
                };
                if (RetryOnInterrupt([&] { return ::statfs(path.c_str(), &info); }) != 0)
                {
                    return true; // then nothing is known against them
                }
                return info.f_type != MsdosMagic && info.f_type != ExfatMagic && info.f_type != FuseMagic;
            }

            std::error_code ReadLink(const NativeString& link, NativeString& text) override
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

            std::error_code FinalPath(const NativeString& path, NativeString& final) override
            {
                const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                                           &std::free);
                if (!resolved)
                {
                    return LastSystemError();
                }
                final = resolved.get();
                return {};
            }

            std::error_code LongName(const NativeString& path, NativeString& name) override
            {
                // One name per entry here, compared byte for byte.
                const std::size_t slash = path.rfind(Separator);
                name = slash == NativeString::npos ? path : path.substr(slash + 1);
                return {};
            }

            std::error_code CheckReplaceable(const NativeString&) override
            {
                return {}; // nothing holds a file against a rename here
            }

            std::error_code TryLock(const NativeString& path, std::unique_ptr<FileLock>& lock) override
            {
                UniqueFd file = Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
                if (!file)
                {
                    return LastSystemError();
                }
                if (RetryOnInterrupt([&] { return ::flock(file.Get(), LOCK_EX | LOCK_NB); }) != 0)
                {
                    return LastSystemError();
                }
                lock = std::make_unique<PosixLock>(std::move(file));
                return {};
            }

            bool IsHeldByAnother(const std::error_code&, const NativeString&) override { return false; }

            std::string HoldersOf(const NativeString&) override { return {}; }

            NativeString FoldCase(const NativeString& name) override { return name; }

            std::uint64_t RandomBits() override
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
        };
    }

    FileSystem& SystemFileSystem()
    {
        static PosixFileSystem fileSystem;
        return fileSystem;
    }
}
