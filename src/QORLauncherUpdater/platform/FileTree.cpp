// The walk, the content comparison and the tree removal, written once over the file-system interface so
// that the system's backends and the tests' in-memory one walk, compare and remove alike.

#include "platform/FileSystem.h"

#include <algorithm>
#include <vector>

namespace QOR::Update
{
    namespace
    {
        NativeString Join(const NativeString& folder, const NativeString& name)
        {
            if (folder.empty())
            {
                return name;
            }
            NativeString path = folder;
            path.push_back(Separator);
            path += name;
            return path;
        }

        struct ListedEntry
        {
            NativeString name;
            EntryType type;
        };

        // A whole listing read at once, so that one folder is open at a time however deep the tree, and so
        // that what a caller does to the folder cannot disturb its own listing.
        std::error_code ReadListing(FileSystem& fileSystem, const NativeString& folder, bool followLink,
                                    std::vector<ListedEntry>& entries)
        {
            std::unique_ptr<Listing> listing;
            if (const std::error_code error = fileSystem.OpenListing(folder, followLink, listing))
            {
                return error;
            }
            entries.clear();
            NativeString name;
            EntryType type = EntryType::Missing;
            std::error_code error;
            while (listing->Next(name, type, error))
            {
                entries.push_back({name, type});
            }
            return error;
        }

        // One folder being gone through; an explicit stack rather than recursion, since nothing bounds the
        // depth of a tree found on disk.
        struct PendingFolder
        {
            NativeString relative;
            std::vector<ListedEntry> entries;
            std::size_t next = 0;
        };
    }

    std::error_code Walk(FileSystem& fileSystem, const NativeString& root, const WalkVisitor& visit,
                         NativeString& failedRelative)
    {
        failedRelative.clear();
        std::vector<PendingFolder> stack(1);
        if (const std::error_code error = ReadListing(fileSystem, root, true, stack.back().entries))
        {
            return error;
        }
        while (!stack.empty())
        {
            PendingFolder& folder = stack.back();
            if (folder.next == folder.entries.size())
            {
                stack.pop_back();
                continue;
            }
            const ListedEntry& entry = folder.entries[folder.next++];
            NativeString relative = Join(folder.relative, entry.name);
            if (const std::error_code error = visit(relative, entry.type))
            {
                return error;
            }
            if (entry.type != EntryType::Directory)
            {
                continue; // folder links included: they are never entered
            }
            PendingFolder below;
            below.relative = std::move(relative);
            if (const std::error_code error = ReadListing(fileSystem, Join(root, below.relative), false, below.entries))
            {
                failedRelative = below.relative;
                return error;
            }
            stack.push_back(std::move(below)); // `folder` is not used past this point
        }
        return {};
    }

    namespace
    {
        // Fills `buffer` unless the file ends first, since a reader may return less than it was asked.
        std::error_code ReadFully(Reader& reader, char* buffer, std::size_t size, std::size_t& got)
        {
            got = 0;
            while (got < size)
            {
                std::size_t part = 0;
                if (const std::error_code error = reader.Read(buffer + got, size - got, part))
                {
                    return error;
                }
                if (part == 0)
                {
                    break;
                }
                got += part;
            }
            return {};
        }

        // The part of EntryStatus::attributes that says how a file may be used: all the permission bits on
        // Linux; on Windows the read-only, hidden and system attributes, not the archive bit a backup
        // clears or the storage flags (compressed, sparse, not indexed) a copy need not keep.
        std::uint32_t UsageAttributes(std::uint32_t attributes)
        {
#ifdef _WIN32
            constexpr std::uint32_t ReadOnlyHiddenSystem = 0x1 | 0x2 | 0x4; // FILE_ATTRIBUTE_READONLY, _HIDDEN, _SYSTEM
            return attributes & ReadOnlyHiddenSystem;
#else
            return attributes;
#endif
        }

        bool IsLink(EntryType type)
        {
            return type == EntryType::FileLink || type == EntryType::DirectoryLink;
        }
    }

    std::error_code SameBytes(FileSystem& fileSystem, const NativeString& left, const NativeString& right, bool& same)
    {
        std::unique_ptr<Reader> leftReader;
        std::unique_ptr<Reader> rightReader;
        if (const std::error_code error = fileSystem.OpenReader(left, leftReader))
        {
            return error;
        }
        if (const std::error_code error = fileSystem.OpenReader(right, rightReader))
        {
            return error;
        }
        constexpr std::size_t ChunkSize = 64 * 1024;
        std::vector<char> leftChunk(ChunkSize);
        std::vector<char> rightChunk(ChunkSize);
        for (;;)
        {
            std::size_t leftGot = 0;
            std::size_t rightGot = 0;
            if (const std::error_code error = ReadFully(*leftReader, leftChunk.data(), ChunkSize, leftGot))
            {
                return error;
            }
            if (const std::error_code error = ReadFully(*rightReader, rightChunk.data(), ChunkSize, rightGot))
            {
                return error;
            }
            if (leftGot != rightGot || !std::equal(leftChunk.begin(), leftChunk.begin() + leftGot, rightChunk.begin()))
            {
                same = false;
                return {};
            }
            if (leftGot < ChunkSize)
            {
                same = true;
                return {};
            }
        }
    }

    std::error_code SameContent(FileSystem& fileSystem, const NativeString& left, const NativeString& right, bool& same)
    {
        EntryStatus leftStatus;
        EntryStatus rightStatus;
        if (const std::error_code error = fileSystem.Status(left, leftStatus))
        {
            return error;
        }
        if (const std::error_code error = fileSystem.Status(right, rightStatus))
        {
            return error;
        }
        if (leftStatus.type == EntryType::Missing || rightStatus.type == EntryType::Missing)
        {
            return std::make_error_code(std::errc::no_such_file_or_directory);
        }
        if (leftStatus.type != rightStatus.type)
        {
            same = false;
            return {};
        }
        if (IsLink(leftStatus.type))
        {
            NativeString leftText;
            NativeString rightText;
            if (const std::error_code error = fileSystem.ReadLink(left, leftText))
            {
                return error;
            }
            if (const std::error_code error = fileSystem.ReadLink(right, rightText))
            {
                return error;
            }
            same = leftText == rightText;
            return {};
        }
        if (leftStatus.type != EntryType::File)
        {
            same = false; // folders and devices are not compared by content
            return {};
        }
        if (leftStatus.size != rightStatus.size ||
            UsageAttributes(leftStatus.attributes) != UsageAttributes(rightStatus.attributes))
        {
            same = false;
            return {};
        }
        return SameBytes(fileSystem, left, right, same);
    }

    namespace
    {
        void KeepFirst(std::error_code& first, const std::error_code& error)
        {
            // Someone else removing an entry first does what was asked. What the file system can never
            // remove (a Linux link under Wine) gives way to any other error, which a later try may get past.
            if (error && !IsNotFound(error) && (!first || (IsUnsupported(first) && !IsUnsupported(error))))
            {
                first = error;
            }
        }

        // Removes what is not a folder. A folder link is removed as a folder on Windows (a junction); every
        // backend's RemoveEmptyFolder removes the link itself and never what it points to.
        std::error_code RemoveEntry(FileSystem& fileSystem, const NativeString& path, EntryType type)
        {
            return type == EntryType::DirectoryLink ? fileSystem.RemoveEmptyFolder(path) : fileSystem.RemoveFile(path);
        }

        struct FolderToEmpty
        {
            NativeString path;
            std::vector<ListedEntry> entries;
            std::size_t next = 0;
            bool bIsAnythingLeft = false;
        };
    }

    std::error_code RemoveTree(FileSystem& fileSystem, const NativeString& path)
    {
        EntryStatus status;
        if (const std::error_code error = fileSystem.Status(path, status))
        {
            return error;
        }
        if (status.type == EntryType::Missing)
        {
            return {};
        }
        if (status.type != EntryType::Directory)
        {
            std::error_code first;
            KeepFirst(first, RemoveEntry(fileSystem, path, status.type));
            return first;
        }

        // Post-order with an explicit stack: each folder is emptied, then removed, unless something in it
        // could not be removed (its removal would only fail again).
        std::error_code first;
        std::vector<FolderToEmpty> stack(1);
        stack.back().path = path;
        if (const std::error_code error = ReadListing(fileSystem, path, false, stack.back().entries))
        {
            KeepFirst(first, error);
            return first;
        }
        while (!stack.empty())
        {
            FolderToEmpty& folder = stack.back();
            if (folder.next == folder.entries.size())
            {
                const bool bIsAnythingLeft = folder.bIsAnythingLeft;
                if (!bIsAnythingLeft)
                {
                    const std::error_code error = fileSystem.RemoveEmptyFolder(folder.path);
                    KeepFirst(first, error);
                    folder.bIsAnythingLeft = error && !IsNotFound(error);
                }
                const bool bIsLeft = folder.bIsAnythingLeft;
                stack.pop_back();
                if (bIsLeft && !stack.empty())
                {
                    stack.back().bIsAnythingLeft = true;
                }
                continue;
            }
            const ListedEntry& entry = folder.entries[folder.next++];
            NativeString entryPath = Join(folder.path, entry.name);
            if (entry.type != EntryType::Directory)
            {
                const std::error_code error = RemoveEntry(fileSystem, entryPath, entry.type);
                KeepFirst(first, error);
                if (error && !IsNotFound(error))
                {
                    folder.bIsAnythingLeft = true;
                }
                continue;
            }
            FolderToEmpty below;
            below.path = std::move(entryPath);
            const std::error_code error = ReadListing(fileSystem, below.path, false, below.entries);
            if (error)
            {
                KeepFirst(first, error);
                if (!IsNotFound(error))
                {
                    folder.bIsAnythingLeft = true;
                }
                continue;
            }
            stack.push_back(std::move(below)); // `folder` is not used past this point
        }
        return first;
    }

    std::error_code ReadWholeFile(FileSystem& fileSystem, const NativeString& path, std::string& bytes)
    {
        std::unique_ptr<Reader> reader;
        if (const std::error_code error = fileSystem.OpenReader(path, reader))
        {
            return error;
        }
        std::string read;
        std::vector<char> buffer(1 << 16);
        for (;;)
        {
            std::size_t got = 0;
            if (const std::error_code error = reader->Read(buffer.data(), buffer.size(), got))
            {
                return error;
            }
            if (got == 0)
            {
                bytes = std::move(read);
                return {};
            }
            read.append(buffer.data(), got);
        }
    }
}
