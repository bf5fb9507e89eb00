#pragma once

// The file system as the apply engine sees it, and the only way the engine reaches the disk. The real
// implementation (SystemFileSystem) is a thin layer over the system's calls; the tests put an in-memory
// one behind the same interface that can fail, kill the run or cut the power at any operation.
//
// Rules every implementation keeps:
// - Paths are native strings built on InstallationRoot() with Separator. Nothing throws; every operation
//   returns a std::error_code, and out-arguments are written only on success.
// - Nothing follows a final symbolic link unless its name says so (StatusFollowingLinks, FinalPath):
//   links are renamed, linked, removed and compared as themselves.
// - A missing entry is not an error for the status calls (type Missing); for the others it is the
//   system's "not found", which IsNotFound recognizes.
// - Errors are the system's own codes, or std::errc codes (the in-memory file system uses only those);
//   the predicates at the end recognize both.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace QOR::Update
{
    using NativeString = std::filesystem::path::string_type;
    using NativeChar = NativeString::value_type;
    using NativeView = std::basic_string_view<NativeChar>;

    inline constexpr NativeChar Separator = std::filesystem::path::preferred_separator;

    enum class EntryType : std::uint8_t
    {
        Missing,
        File,
        Directory,
        FileLink,      // a symbolic link (or, on Windows, a file symlink) to a file or to nothing
        DirectoryLink, // a symbolic link to a folder, or a junction: never entered
        Other,         // FIFO, socket, device
    };

    // What makes a file itself whatever its name: kept by a rename, shared by hard links, never given to
    // another file while this one exists. Device and inode on Linux; volume serial and file index on Windows.
    struct FileId
    {
        std::uint64_t device = 0;
        std::uint64_t file = 0;

        friend bool operator==(const FileId&, const FileId&) = default;
    };

    struct EntryStatus
    {
        EntryType type = EntryType::Missing;
        FileId id;
        std::uint64_t size = 0;
        // Permission bits on Linux (st_mode & 07777); FILE_ATTRIBUTE_* bits on Windows.
        std::uint32_t attributes = 0;
        // Windows: a file with the read-only attribute, which cannot be replaced by a rename (nor, on some
        // file systems, linked) until the attribute is cleared. Never set on Linux, where the permission
        // bits keep nobody from renaming over a file.
        bool bIsReadOnly = false;
    };

    enum class RenameMode : std::uint8_t
    {
        NoReplace, // fail with "exists" rather than replace anything
        Replace,   // replace an existing file in one step
        Exchange,  // swap two existing entries in one step; "unsupported" where the system cannot
    };

    // The entries of one folder, in the order the system lists them, without "." and "..".
    class Listing
    {
    public:
        virtual ~Listing() = default;
        // The next entry; false at the end or after an error (then `error` is set).
        [[nodiscard]] virtual bool Next(NativeString& name, EntryType& type, std::error_code& error) = 0;
    };

    // A regular file opened for reading from its start.
    class Reader
    {
    public:
        virtual ~Reader() = default;
        // Up to `size` bytes; `got` is 0 at the end.
        [[nodiscard]] virtual std::error_code Read(char* buffer, std::size_t size, std::size_t& got) = 0;
    };

    // An exclusive lock on a file, held until this object is destroyed or its process ends, however it
    // ends. Taken by the run that owns a working folder, so no second updater works on it at the same time.
    class FileLock
    {
    public:
        virtual ~FileLock() = default;
    };

    class FileSystem
    {
    public:
        virtual ~FileSystem() = default;

        // The installation folder as every other path is built from it: "." on Linux, "\\?\<full path>"
        // on Windows.
        [[nodiscard]] virtual std::error_code InstallationRoot(NativeString& root) = 0;
        // The absolute form of a path built on the root, as boxes and logs show it.
        virtual std::string DisplayPath(const NativeString& path) = 0;

        // The entry itself (a link is reported as a link, with the link's own id).
        [[nodiscard]] virtual std::error_code Status(const NativeString& path, EntryStatus& status) = 0;
        // What the path finally names (Missing for a dangling link).
        [[nodiscard]] virtual std::error_code StatusFollowingLinks(const NativeString& path, EntryStatus& status) = 0;

        [[nodiscard]] virtual std::error_code Rename(const NativeString& from, const NativeString& to,
                                                     RenameMode mode) = 0;
        // A second name for an existing file (a link is linked itself).
        [[nodiscard]] virtual std::error_code HardLink(const NativeString& existing, const NativeString& link) = 0;
        // A new file at `target` (never replacing one) with everything `cp -a` keeps of `source`: content
        // with its holes, permissions, modification time, extended attributes (Windows: attributes and
        // streams), flushed. A symbolic link is copied as the same link on Linux; on Windows its content is
        // copied. Set-user-ID and set-group-ID bits survive only when the copy has the source's owner and
        // group. A failed copy leaves nothing at `target`.
        [[nodiscard]] virtual std::error_code CopyToNewFile(const NativeString& source, const NativeString& target) = 0;
        // Removes a file or a link (Windows: also a read-only one; the file's other hard links, if any, stay
        // read-only). Under Wine a Linux symbolic link is refused as unsupported: Wine would delete what it
        // points to instead.
        [[nodiscard]] virtual std::error_code RemoveFile(const NativeString& path) = 0;
        [[nodiscard]] virtual std::error_code MakeFolder(const NativeString& path) = 0;
        // Removes a folder or a folder link (junction) that is empty, or the link itself. Under Wine a Linux
        // folder link, and a folder that holds only what Wine cannot list (links to nothing), are refused
        // as unsupported.
        [[nodiscard]] virtual std::error_code RemoveEmptyFolder(const NativeString& path) = 0;
        // Windows: sets or clears the read-only attribute of a file, keeping its other attributes; nothing
        // to do when it is so already. Nothing to do on Linux.
        [[nodiscard]] virtual std::error_code SetReadOnly(const NativeString& path, bool bIsReadOnly) = 0;

        // A new file holding `bytes`. Its data is durable once its file system is flushed (FlushFileSystem),
        // or at once where files are flushed one by one (FlushesEachFile): one flush then serves the file and
        // everything written before it.
        [[nodiscard]] virtual std::error_code WriteNewFile(const NativeString& path, const std::string& bytes) = 0;
        [[nodiscard]] virtual std::error_code OpenReader(const NativeString& path, std::unique_ptr<Reader>& reader) = 0;
        // A listing of the folder; `followLink`: the folder may be reached through a final link.
        [[nodiscard]] virtual std::error_code OpenListing(const NativeString& folder, bool followLink,
                                                          std::unique_ptr<Listing>& listing) = 0;

        // Makes the renames inside a folder durable.
        [[nodiscard]] virtual std::error_code FlushDirectory(const NativeString& path) = 0;
        // Makes everything written to the file system holding the path durable (where the system can;
        // Windows flushes each file instead, see FlushesEachFile).
        [[nodiscard]] virtual std::error_code FlushFileSystem(const NativeString& path) = 0;
        // Makes one file's data durable, opened with full sharing so a scanner that holds it does not fail it.
        [[nodiscard]] virtual std::error_code FlushFile(const NativeString& path) = 0;
        // Whether file systems are flushed file by file here (FlushFileSystem alone is not enough).
        virtual bool FlushesEachFile() const = 0;
        // Whether the file system holding the path keeps a file's id when the file moves to another folder.
        // FAT and exFAT do not: there an id is where the entry stands (Windows), or is made up when the
        // file is first looked at after a mount (Linux), and a file renamed over another may take its id.
        [[nodiscard]] virtual bool KeepsIdsWhenMoved(const NativeString& path) = 0;

        // The text of a symbolic link; "unsupported" where links are not installed as links (Windows).
        [[nodiscard]] virtual std::error_code ReadLink(const NativeString& link, NativeString& text) = 0;
        // The path with every link resolved, as the system sees the opened file or folder.
        [[nodiscard]] virtual std::error_code FinalPath(const NativeString& path, NativeString& final) = 0;
        // The name under which the folder of `path` holds the entry `path` reaches: on Windows its long name
        // when the last element of `path` is one of its short (8.3) names, or a case variant of its name;
        // elsewhere that last element itself. "Not found" when nothing is there (Windows).
        [[nodiscard]] virtual std::error_code LongName(const NativeString& path, NativeString& name) = 0;
        // Before a step that needs it: the file can be renamed or replaced (on Windows nobody holds it
        // open without delete sharing). Nothing to check elsewhere.
        [[nodiscard]] virtual std::error_code CheckReplaceable(const NativeString& path) = 0;

        // Locks an existing file; fails at once, with an error IsLockedByAnother recognizes, when another
        // holder has it.
        [[nodiscard]] virtual std::error_code TryLock(const NativeString& path, std::unique_ptr<FileLock>& lock) = 0;

        // A file held open by someone else for a moment (a scanner, an indexer, a program that is just
        // ending): worth retrying. Never true on Linux, where nothing holds a file against a rename.
        virtual bool IsHeldByAnother(const std::error_code& error, const NativeString& path) = 0;
        // Programs that hold `path` open, for the log ("game.exe (pid 1234)"); empty where it cannot be told.
        virtual std::string HoldersOf(const NativeString& path) = 0;

        // The form in which two names compare equal exactly when this file system takes them for one name.
        virtual NativeString FoldCase(const NativeString& name) = 0;
        // Unpredictable bits for the names of a run's working files.
        virtual std::uint64_t RandomBits() = 0;
    };

    // The system's file system, for the installation in the current directory.
    FileSystem& SystemFileSystem();

    // What the error of an operation means, for any implementation.
    bool IsNotFound(const std::error_code& error);
    bool IsAlreadyExisting(const std::error_code& error);
    bool IsCrossDevice(const std::error_code& error);
    // Hard links cannot be made here (FAT, exFAT, some shares, another file system).
    bool IsLinkUnsupported(const std::error_code& error);
    bool IsNotEmpty(const std::error_code& error);
    // The operation does not exist for this file system (an exchange where the system has none).
    bool IsUnsupported(const std::error_code& error);
    bool IsLockedByAnother(const std::error_code& error);
    // A path element is not a folder, or the path names a folder where a file was expected.
    bool IsNotAFolder(const std::error_code& error);

    // Written once over the operations above, so every implementation walks, compares and removes alike.

    // Calls `visit` for each entry below `root`, in the order the system lists them, pre-order, with the
    // path relative to `root`. Folders that are links are reported but never entered; `root` itself may be
    // a link. Stops at the first error: of a listing (then `failedRelative` names the folder, empty for
    // the root) or the one `visit` returns.
    using WalkVisitor = std::function<std::error_code(const NativeString& relative, EntryType type)>;
    [[nodiscard]] std::error_code Walk(FileSystem& fileSystem, const NativeString& root, const WalkVisitor& visit,
                                       NativeString& failedRelative);

    // Whether two regular files hold the same bytes, whatever their attributes.
    [[nodiscard]] std::error_code SameBytes(FileSystem& fileSystem, const NativeString& left, const NativeString& right,
                                            bool& same);

    // Whether two entries hold the same: links with the same text, or files with the same permission bits
    // and the same bytes.
    [[nodiscard]] std::error_code SameContent(FileSystem& fileSystem, const NativeString& left,
                                              const NativeString& right, bool& same);

    // The whole content of a regular file (never through a final link).
    [[nodiscard]] std::error_code ReadWholeFile(FileSystem& fileSystem, const NativeString& path, std::string& bytes);

    // Removes a tree without ever following a link or junction out of it, going on past what it cannot
    // remove; returns the first error, an "unsupported" one (what can never be removed) only when there is
    // no other. A missing path is no error.
    [[nodiscard]] std::error_code RemoveTree(FileSystem& fileSystem, const NativeString& path);

    // Native text as UTF-8 (invalid sequences become U+FFFD), and ASCII text as native text.
    std::string ToUtf8(const NativeString& native);
    NativeString FromAscii(std::string_view text);
}

namespace QOR::Update
{
    // What a Windows directory listing says an entry is. Only symbolic links and junctions are links;
    // every other reparse point (a cloud placeholder, a deduplicated file) is an ordinary file or folder.
    // Here rather than in the Windows backend so that both platforms' tests cover it.
    EntryType ClassifyWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag);

    // The attributes to give a Windows file so that it is read-only or not and keeps the rest of
    // `attributes`: only those SetFileAttributesW takes, and FILE_ATTRIBUTE_NORMAL when none is left.
    std::uint32_t WindowsAttributesWithReadOnly(std::uint32_t attributes, bool bIsReadOnly);

    // Whether a file system Windows names so (GetVolumeInformation's name) keeps ids across moves: not the
    // FAT family, whose ids are where an entry stands.
    bool KeepsIdsWhenMovedByName(std::string_view fileSystemName);

    // Whether an entry is a link by where it finally leads: its final path is not its folder's final path
    // followed by its own name. Under Wine, where a Linux symbolic link carries no reparse tag, this is how
    // one is told from a plain entry.
    bool IsLinkByFinalPath(NativeView entryFinal, NativeView folderFinal, NativeView name);
}
