#include "UpdateFiles.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace QOR::Update::Platform
{
    namespace fs = std::filesystem;

    namespace
    {
        std::error_code LastError()
        {
            return {errno, std::system_category()};
        }

        // Owns one file descriptor.
        class FileDescriptor
        {
        public:
            explicit FileDescriptor(int descriptor) noexcept : _descriptor(descriptor) {}
            FileDescriptor(const FileDescriptor&) = delete;
            FileDescriptor& operator=(const FileDescriptor&) = delete;
            ~FileDescriptor() { Close(); }

            explicit operator bool() const noexcept { return _descriptor >= 0; }
            int Get() const noexcept { return _descriptor; }

            // Closes now and reports the result: a failed close can mean lost data.
            std::error_code Close() noexcept
            {
                std::error_code error;
                if (_descriptor >= 0 && ::close(std::exchange(_descriptor, -1)) != 0 && errno != EINTR)
                {
                    error = LastError();
                }
                return error;
            }

        private:
            int _descriptor = -1;
        };

        int OpenRetrying(const char* path, int flags, mode_t mode = 0)
        {
            int descriptor = -1;
            do
            {
                descriptor = ::open(path, flags, mode);
            } while (descriptor < 0 && errno == EINTR);
            return descriptor;
        }

        std::error_code CopyContents(int from, int to, off_t size)
        {
            // Sized to the file (one read reaches the end of a small one), at most 1 MiB, not zero-filled.
            const std::size_t capacity = static_cast<std::size_t>(std::clamp<off_t>(size + 1, 4096, off_t{1} << 20));
            const std::unique_ptr<char[]> buffer(new char[capacity]);
            for (;;)
            {
                const ssize_t got = ::read(from, buffer.get(), capacity);
                if (got < 0)
                {
                    if (errno == EINTR)
                    {
                        continue;
                    }
                    return LastError();
                }
                if (got == 0)
                {
                    return {};
                }
                std::size_t done = 0;
                while (done < static_cast<std::size_t>(got))
                {
                    const ssize_t put = ::write(to, buffer.get() + done, static_cast<std::size_t>(got) - done);
                    if (put < 0)
                    {
                        if (errno == EINTR)
                        {
                            continue;
                        }
                        return LastError();
                    }
                    done += static_cast<std::size_t>(put);
                }
            }
        }
    }

    std::error_code WriteTemporary(const fs::path& source, const fs::path& temporary)
    {
        FileDescriptor input(OpenRetrying(source.c_str(), O_RDONLY | O_CLOEXEC));
        if (!input)
        {
            return LastError();
        }
        struct stat info{};
        if (::fstat(input.Get(), &info) != 0)
        {
            return LastError();
        }
        FileDescriptor output(
            OpenRetrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR));
        if (!output)
        {
            return LastError();
        }
        if (std::error_code error = CopyContents(input.Get(), output.Get(), info.st_size))
        {
            return error;
        }
        // Start writing a large file out now, so the flush of its batch finds it mostly on disk already.
        if (info.st_size >= (off_t{1} << 20))
        {
            ::sync_file_range(output.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        }
        // The umask must not strip an executable bit the staged file carries.
        if (::fchmod(output.Get(), info.st_mode & 07777) != 0)
        {
            return LastError();
        }
        return output.Close();
    }

    std::error_code CommitTemporary(const fs::path& temporary, const fs::path& target)
    {
        return ::rename(temporary.c_str(), target.c_str()) == 0 ? std::error_code{} : LastError();
    }

    void DiscardTemporary(const fs::path& temporary)
    {
        ::unlink(temporary.c_str());
    }

    std::error_code FlushToDisk(const fs::path& directory)
    {
        FileDescriptor handle(OpenRetrying(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!handle)
        {
            return LastError();
        }
        int synced = 0;
        do
        {
            synced = ::syncfs(handle.Get());
        } while (synced != 0 && errno == EINTR);
        return synced == 0 ? std::error_code{} : LastError();
    }

    std::error_code RemoveTree(const fs::path& path)
    {
        // remove_all never follows symbolic links: a link is removed, not what it points to.
        std::error_code error;
        fs::remove_all(path, error);
        return error;
    }

    fs::path FinalPath(const fs::path& path, std::error_code& error)
    {
        return fs::canonical(path, error);
    }

    bool IsLink(const fs::path& path)
    {
        std::error_code error;
        return fs::is_symlink(fs::symlink_status(path, error));
    }

    bool IsMissingEntryError(const std::error_code& error)
    {
        return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
               error == std::errc::filename_too_long;
    }

    bool SameElement(const fs::path& left, const fs::path& right)
    {
        return left.native() == right.native();
    }

    std::string ErrorText(const std::error_code& error)
    {
        return error.message();
    }
}
