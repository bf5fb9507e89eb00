#pragma once

// The engine's file system held in memory, for tests that enumerate every failure, kill and power cut of
// an update and of its recovery, on Linux and under Wine alike, where no tracer can.
//
// A tree of nodes (folders, files, symbolic links, other entries) with stable ids: hard links share a
// node, a rename keeps it. Paths are the root (InstallationRoot, "." unless set) followed by names; both
// '/' and '\' separate names on Windows, "." elements are ignored and ".." goes up. A path that does not
// start with the root is taken from the root too. Every error is a std::errc code.
//
// Symbolic links: a relative text is resolved from the link's folder; a text starting with the root, or
// with a separator, is resolved from the root ("/lib/x" is <root>/lib/x). Nothing outside the root exists.
//
// Faults: operations are counted, all of them or only those that change the disk (renames, links,
// copies, removals, new folders and files, flushes). A FaultPlan strikes one counted operation: Fail makes
// it return an error; Kill makes it and everything after it fail with KilledError() and change nothing,
// until Restart(); PowerCut is a Kill during that operation (what it changes may or may not reach the
// disk, its data does not), then Restart() reboots onto what was durable.
//
// Durability: the disk keeps the metadata as of the last FlushDirectory or FlushFileSystem (either
// commits every metadata change, as ext4's journal does) and each file's data as of its last flush
// (FlushFile and CopyToNewFile flush theirs, WriteNewFile where FlushesEachFile; FlushFileSystem all, unless
// FlushesEachFile).
// After a cut the tree is that metadata plus the first `reachedDisk` metadata changes made since, in order,
// and each file whose data was never made durable is empty under its name.
//
// The test helpers (Build, WriteFile, the Set... hostile states) act on a quiet disk, before a run or after
// Restart(): they do not count and they make everything durable. Their paths are relative, '/'-separated
// and UTF-8 on Windows (bytes on Linux).
//
// Windows' read-only attribute, on both platforms (set by Build, SetReadOnlyFile or SetReadOnly): a
// read-only file cannot be replaced by a rename nor linked; RemoveFile removes it as the Windows backend
// does, clearing the attribute first (for every name of the file) and setting it again when other names
// remain: three metadata changes. Short names (SetShortName,
// where names are case-insensitive) are second names of an entry: a path reaches the entry through either.
//
// Building a tree with case-sensitive names and switching case-insensitivity on afterwards gives a tree
// as Wine shows a Linux folder: "Lib" and "lib" side by side, a path reaching the first of them.
//
// Listings and readers are snapshots taken when opened; they fail once their process is killed or gone.
// A FileLock may outlive its file system; it is then inert.

#include "platform/FileSystem.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace QOR::Testing
{
    // One entry of a tree description (Build) or of a dump (Dump).
    struct TreeItem
    {
        Update::EntryType type = Update::EntryType::File;
        std::string text;         // a file's content or a link's text (UTF-8 on Windows)
        bool bIsReadOnly = false; // a file's read-only attribute

        TreeItem() = default;
        TreeItem(const char* content) : text(content) {}
        TreeItem(std::string content) : text(std::move(content)) {}

        static TreeItem Folder() { return Make(Update::EntryType::Directory, {}); }
        static TreeItem ReadOnly(std::string content)
        {
            TreeItem item(std::move(content));
            item.bIsReadOnly = true;
            return item;
        }
        static TreeItem Link(std::string text) { return Make(Update::EntryType::FileLink, std::move(text)); }
        static TreeItem FolderLink(std::string text) { return Make(Update::EntryType::DirectoryLink, std::move(text)); }
        static TreeItem Other() { return Make(Update::EntryType::Other, {}); }

        friend bool operator==(const TreeItem&, const TreeItem&) = default;

    private:
        static TreeItem Make(Update::EntryType type, std::string text)
        {
            TreeItem item(std::move(text));
            item.type = type;
            return item;
        }
    };

    std::ostream& operator<<(std::ostream& out, const TreeItem& item);

    // Relative '/'-separated paths, sorted, each with what is there. Folders are entries like the others.
    using TreeDump = std::map<std::string, TreeItem>;

    // `description` with every folder it implies made explicit, to compare with a Dump().
    TreeDump WithImpliedFolders(TreeDump description);

    enum class FaultKind : std::uint8_t
    {
        None,
        Fail,     // the counted operation returns `failure`; the others work
        Kill,     // the process dies just before it
        PowerCut, // the power fails during it
    };

    enum class Counting : std::uint8_t
    {
        Changes, // only what changes the disk
        All,     // every operation that returns an error code
    };

    inline constexpr std::size_t EveryChange = std::numeric_limits<std::size_t>::max();

    struct FaultPlan
    {
        FaultKind kind = FaultKind::None;
        std::uint64_t at = 0; // the counted operation it strikes, from 1
        Counting counting = Counting::Changes;
        std::error_code failure = std::make_error_code(std::errc::io_error);
        // PowerCut: how many of the metadata changes made since the last durable state reach the disk.
        std::size_t reachedDisk = EveryChange;
    };

    // One operation as it was asked, for the diagnostics of a failed test.
    struct OperationRecord
    {
        std::uint64_t operation = 0; // its number among all operations; 0 once the process was dead
        std::uint64_t change = 0;    // its number among the changes, 0 when it changes nothing
        std::string text;            // name and paths
        std::error_code result;
    };

    class MemoryFileSystem final : public Update::FileSystem
    {
    public:
        MemoryFileSystem();
        // A copy is the same disk and the same other programs, as if taken at that instant; locks held there
        // are held in the copy until its Restart(). Handy to cut one run's power at every prefix.
        MemoryFileSystem(const MemoryFileSystem& other);
        MemoryFileSystem& operator=(const MemoryFileSystem& other);
        ~MemoryFileSystem() override;

        // --- Options: set before building the tree. Defaults are the platform's.
        void SetInstallationRoot(Update::NativeString root);
        // DisplayPath shows the root as this text (UTF-8).
        void SetDisplayRoot(std::string displayRoot);
        // Names that differ only in ASCII case are one name (Windows' default). May be switched on after
        // building a tree with names that differ only in case (see the file's comment).
        void SetCaseInsensitive(bool bIsCaseInsensitive);
        void SetExchangeSupported(bool bIsSupported);
        void SetHardLinksSupported(bool bAreSupported);
        // Windows' default: FlushFileSystem then makes only metadata durable, not any file's data.
        void SetFlushesEachFile(bool bFlushesEachFile);
        // Without (Windows' default): ReadLink is unsupported, CopyToNewFile copies what a link points to,
        // and RemoveFile refuses a folder link (RemoveEmptyFolder removes it).
        void SetSymbolicLinksSupported(bool bAreSupported);
        // As FAT on Windows: an entry's id is where it stands (its folder and name), so a move gives it
        // another, and a file renamed over another takes that one's.
        void SetIdsPositional(bool bArePositional);

        // --- Test helpers (see the file's comment).
        // The native path the engine would build for `relative` ("" is the root).
        Update::NativeString PathOf(std::string_view relative) const;
        // Adds the described entries; folders are implied by the paths.
        void Build(const TreeDump& description);
        TreeDump Dump() const;
        // Paths of every entry whose own name starts with `prefix`.
        std::vector<std::string> NamesStartingWith(std::string_view prefix) const;
        std::string ReadFile(std::string_view relative) const;
        // Writes a file, replacing the content of an existing one; folders implied.
        void WriteFile(std::string_view relative, std::string_view content);
        Update::FileId IdOf(std::string_view relative) const;
        // Permission bits on Linux, FILE_ATTRIBUTE_* on Windows.
        void SetAttributes(std::string_view relative, std::uint32_t attributes);
        // The folder and everything in it become another device.
        void MakeDevice(std::string_view folder);
        // The machine numbers its devices anew, as a reboot or a remount may: every FileId's device changes,
        // file numbers stay.
        void RenumberDevices();
        // Windows' read-only attribute of a file.
        void SetReadOnlyFile(std::string_view file, bool bIsReadOnly);
        // A short (8.3) name of the entry, as Windows generates one; needs case-insensitive names.
        void SetShortName(std::string_view relative, std::string_view shortName);
        // From now on every new name that is no 8.3 name gets a short name ("LONGFI~1.TXT"), as NTFS gives
        // one; needs case-insensitive names.
        void SetGeneratesShortNames(bool bGenerates);

        // --- Hostile states.
        // No entry in the folder can be made, removed or renamed, even one that does not exist.
        void SetReadOnlyFolder(std::string_view folder, bool bIsReadOnly);
        // Mapped as a running program's image: no name of it can be removed or replaced and it cannot be
        // opened for writing; it can be renamed and linked.
        void SetMappedImage(std::string_view file, bool bIsMapped);
        // Held open by another program: renaming, removing or replacing it fails with an error that
        // IsHeldByAnother recognizes, until Release or, when given, after `releaseAfterAttempts` such failures.
        void Hold(std::string_view file, std::optional<unsigned> releaseAfterAttempts = std::nullopt,
                  std::string holders = "scanner.exe (pid 4242)");
        void Release(std::string_view file);
        void SetUnreadable(std::string_view file, bool bIsUnreadable);
        // What Wine shows of a Linux symbolic link: RemoveFile and RemoveEmptyFolder answer "not supported".
        void SetNeverRemovable(std::string_view relative, bool bIsNeverRemovable);
        // A lock taken by another process, which no Restart() ends.
        void LockByAnother(std::string_view file);
        void UnlockByAnother(std::string_view file);

        // --- Processes and faults.
        // Arms a plan and starts counting from zero.
        void SetFaultPlan(const FaultPlan& plan);
        // Operations counted since SetFaultPlan or Restart.
        std::uint64_t CountedOperations(Counting counting) const;
        bool HasFaultStruck() const;
        bool IsKilled() const;
        static std::error_code KilledError();
        // The killed process is gone, or the test's process starts anew: its locks go, the plan is disarmed
        // and the counts start from zero. After a PowerCut the machine also reboots: CutPower(reachedDisk).
        void Restart();
        // The power fails now; on reboot the disk holds the durable state plus `reachedDisk` of the
        // metadata changes made since. Nobody holds, maps or locks anything afterwards.
        void CutPower(std::size_t reachedDisk);
        // Metadata changes made since the disk was last durable: the prefixes a cut can keep are 0 to this.
        std::size_t PendingChanges() const;
        const std::vector<OperationRecord>& Records() const;
        std::string RecordText() const;

        // --- Randomness.
        void SetRandomSeed(std::uint64_t seed);
        // The next RandomBits() answers, before the generator's.
        void ForceRandomBits(std::vector<std::uint64_t> values);

        // --- The interface.
        [[nodiscard]] std::error_code InstallationRoot(Update::NativeString& root) override;
        std::string DisplayPath(const Update::NativeString& path) override;
        [[nodiscard]] std::error_code Status(const Update::NativeString& path, Update::EntryStatus& status) override;
        [[nodiscard]] std::error_code StatusFollowingLinks(const Update::NativeString& path,
                                                           Update::EntryStatus& status) override;
        [[nodiscard]] std::error_code Rename(const Update::NativeString& from, const Update::NativeString& to,
                                             Update::RenameMode mode) override;
        [[nodiscard]] std::error_code HardLink(const Update::NativeString& existing,
                                               const Update::NativeString& link) override;
        [[nodiscard]] std::error_code CopyToNewFile(const Update::NativeString& source,
                                                    const Update::NativeString& target) override;
        [[nodiscard]] std::error_code RemoveFile(const Update::NativeString& path) override;
        [[nodiscard]] std::error_code MakeFolder(const Update::NativeString& path) override;
        [[nodiscard]] std::error_code RemoveEmptyFolder(const Update::NativeString& path) override;
        [[nodiscard]] std::error_code SetReadOnly(const Update::NativeString& path, bool bIsReadOnly) override;
        [[nodiscard]] std::error_code WriteNewFile(const Update::NativeString& path, const std::string& bytes) override;
        [[nodiscard]] std::error_code OpenReader(const Update::NativeString& path,
                                                 std::unique_ptr<Update::Reader>& reader) override;
        [[nodiscard]] std::error_code OpenListing(const Update::NativeString& folder, bool followLink,
                                                  std::unique_ptr<Update::Listing>& listing) override;
        [[nodiscard]] std::error_code FlushDirectory(const Update::NativeString& path) override;
        [[nodiscard]] std::error_code FlushFileSystem(const Update::NativeString& path) override;
        [[nodiscard]] std::error_code FlushFile(const Update::NativeString& path) override;
        bool FlushesEachFile() const override;
        [[nodiscard]] bool KeepsIdsWhenMoved(const Update::NativeString& path) override;
        [[nodiscard]] std::error_code ReadLink(const Update::NativeString& link, Update::NativeString& text) override;
        [[nodiscard]] std::error_code FinalPath(const Update::NativeString& path, Update::NativeString& final) override;
        [[nodiscard]] std::error_code LongName(const Update::NativeString& path, Update::NativeString& name) override;
        [[nodiscard]] std::error_code CheckReplaceable(const Update::NativeString& path) override;
        [[nodiscard]] std::error_code TryLock(const Update::NativeString& path,
                                              std::unique_ptr<Update::FileLock>& lock) override;
        // Only the error a held file answers; never by the path, since the file may be let go already.
        bool IsHeldByAnother(const std::error_code& error, const Update::NativeString& path) override;
        std::string HoldersOf(const Update::NativeString& path) override;
        Update::NativeString FoldCase(const Update::NativeString& name) override;
        std::uint64_t RandomBits() override;

        struct State;

    private:
        std::unique_ptr<State> _state;
    };
}
