#pragma once

// The file-system steps of an update, each one system call where the system has one, so that the
// apply logic above them is the same on every platform. Paths are native strings: relative to the
// installation on Linux, absolute "\\?\" paths on Windows, where no length limit applies then.
// Nothing here throws; every step returns a std::error_code.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace QOR::Update::FileSystem
{
    using NativeString = std::filesystem::path::string_type;
    using NativeChar = NativeString::value_type;

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

    // What a Windows directory listing says an entry is. Only symbolic links and junctions are links;
    // every other reparse point (a cloud placeholder, a deduplicated file) is an ordinary file or folder.
    EntryType ClassifyWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag);

    enum class Replace : bool
    {
        No,  // fail with "exists" rather than replace anything
        Yes, // replace an existing file in one step
    };

    // The installation folder as every other path is built from it: "." on Linux, "\\?\<full path>"
    // on Windows.
    [[nodiscard]] std::error_code InstallationRoot(NativeString& root);

    // The absolute form of a path built on the installation root, as boxes and logs show it (without
    // the "\\?\" prefix).
    std::string DisplayPath(const NativeString& path);

    // The entry itself, never what a final link points to.
    [[nodiscard]] std::error_code Status(const NativeString& path, EntryType& type);
    // The type of what the path finally names (Missing for a dangling link).
    [[nodiscard]] std::error_code StatusFollowingLinks(const NativeString& path, EntryType& type);
    // Whether both paths name one file (hard links of each other).
    [[nodiscard]] std::error_code SameFile(const NativeString& left, const NativeString& right, bool& same);
    // Whether two files have the same permissions and the same bytes.
    [[nodiscard]] std::error_code SameContent(const NativeString& left, const NativeString& right, bool& same);
    // An identifier of the file system holding the path, equal for two paths on the same one.
    [[nodiscard]] std::error_code FileSystemOf(const NativeString& path, std::uint64_t& device);

    [[nodiscard]] std::error_code Rename(const NativeString& from, const NativeString& to, Replace replace);
    [[nodiscard]] std::error_code HardLink(const NativeString& existing, const NativeString& link);
    // A new file at `target` (never replacing one) with the content and permissions of `source`, flushed.
    // A symbolic link is copied as the same link on Linux; on Windows its content is copied.
    // Set-user-ID and set-group-ID bits survive only when the copy has the source's owner and group.
    [[nodiscard]] std::error_code CopyToNewFile(const NativeString& source, const NativeString& target);
    [[nodiscard]] std::error_code RemoveFile(const NativeString& path);
    [[nodiscard]] std::error_code MakeFolder(const NativeString& path);
    [[nodiscard]] std::error_code RemoveEmptyFolder(const NativeString& path);
    // Removes a tree without ever following a link or junction out of it. A missing path is no error.
    [[nodiscard]] std::error_code RemoveTree(const NativeString& path);

    // A new file holding `bytes`, flushed to disk.
    [[nodiscard]] std::error_code WriteNewFile(const NativeString& path, const std::string& bytes);
    [[nodiscard]] std::error_code ReadWholeFile(const NativeString& path, std::string& bytes);

    // Makes the renames inside a folder durable (Linux; Windows writes renames through).
    [[nodiscard]] std::error_code FlushDirectory(const NativeString& path);
    // Makes everything written to the file system holding the path durable (Linux: one syncfs; Windows
    // has none without administrator rights and flushes each file instead).
    [[nodiscard]] std::error_code FlushFileSystem(const NativeString& path);
    // Makes one file's data durable where file systems are not flushed whole (Windows). Opened with
    // full sharing, so a scanner that has the file open does not fail it.
    [[nodiscard]] std::error_code FlushFile(const NativeString& path);
    // Whether FlushFile does anything here.
    bool FlushesEachFile();

    // The text of a symbolic link (Linux); `link` names the link, not its target.
    [[nodiscard]] std::error_code ReadLink(const NativeString& link, NativeString& text);
    // The path with every link resolved, as the system sees the opened file or folder.
    [[nodiscard]] std::error_code FinalPath(const NativeString& path, NativeString& final);

    // Checks, before a step that needs it, that a file can be renamed or replaced: on Windows nobody
    // holds it open without delete sharing. Nothing to check elsewhere.
    [[nodiscard]] std::error_code CheckReplaceable(const NativeString& path);

    // Calls `visit` for each entry below `root`, in the order the system lists them, pre-order,
    // with the path relative to `root`. Folders that are links are reported but never entered. Stops
    // at the first error: of the listing itself (then `failedRelative` names the folder, empty for the
    // root) or the one `visit` returns.
    using WalkVisitor = std::function<std::error_code(const NativeString& relative, EntryType type)>;
    [[nodiscard]] std::error_code Walk(const NativeString& root, const WalkVisitor& visit,
                                       NativeString& failedRelative);

    // The names in one folder, with their types.
    [[nodiscard]] std::error_code ListFolder(
        const NativeString& folder, const std::function<void(const NativeString& name, EntryType type)>& visit);

    bool IsNotFound(const std::error_code& error);
    bool IsAlreadyExisting(const std::error_code& error);
    bool IsCrossDevice(const std::error_code& error);
    // The file system has no hard links (FAT, exFAT, some network shares).
    bool IsLinkUnsupported(const std::error_code& error);
    bool IsNotEmpty(const std::error_code& error);
    // A file held open by someone else for a moment (a scanner, an indexer, a program that is just
    // ending): worth retrying. Never true on Linux, where nothing holds a file against a rename.
    bool IsHeldByAnother(const std::error_code& error, const NativeString& path);

    // Programs that hold `path` open, for the log ("game.exe (pid 1234)"); empty where the system cannot tell.
    std::string HoldersOf(const NativeString& path);

    // Unpredictable bits for the names of the update's working files.
    std::uint64_t RandomBits();

    // The form in which two names compare equal exactly when the system takes them for one name:
    // upper case on Windows, the name itself elsewhere.
    NativeString FoldCase(const NativeString& name);

    // Native text as UTF-8 (invalid sequences become U+FFFD).
    std::string ToUtf8(const NativeString& native);
    NativeString FromAscii(const char* text);
}
