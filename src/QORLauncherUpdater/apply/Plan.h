#pragma once

// What one update does, fixed before its first change: every staged entry with its place, the folders
// to make, and the identity of every file the update will move, so that a later run can tell, from
// this record alone, which of them the update moved and where they are. A staged entry lands at the
// same relative place in the installation. Kept compact (one text buffer for all paths): a plan of
// 50 000 files is a few megabytes.

#include "platform/FileSystem.h"

#include <cstdint>
#include <string>
#include <vector>

namespace QOR::Update
{
    enum class EntryKind : std::uint8_t
    {
        File,          // a regular file, moved into place
        Link,          // a symbolic link, installed as that same link (Linux)
        LinkedContent, // a symbolic link whose target's content is installed under its name (Windows)
        Folder,        // a whole folder where the installation has none, moved in one step
    };

    struct PlanEntry
    {
        std::uint32_t path = 0; // relative, in the staging folder and in the installation alike
        std::uint32_t length = 0;
        EntryKind kind = EntryKind::File;
        bool bIsReplacing = false; // an installed entry was there when the plan was made
        // Windows: the installed file had the read-only attribute, which the install clears for its move and
        // an undo puts back; and the staged file has it, which it keeps, installed or given back.
        bool bIsTargetReadOnly = false;
        bool bIsStagedReadOnly = false;
        FileId staged;    // the staged entry (for a link, the link itself)
        FileId installed; // the entry it replaces, when it replaces one
    };

    struct PlanFolder
    {
        std::uint32_t path = 0; // relative to the installation
        std::uint32_t length = 0;
        std::uint32_t entry = 0; // made just before this entry is installed
    };

    class UpdatePlan
    {
    public:
        std::uint64_t GetTag() const { return _tag; }
        void SetTag(std::uint64_t tag) { _tag = tag; }
        // The installation's device number when the plan was made: ids are compared with their devices
        // only while it is still the same (see FileId).
        std::uint64_t GetRootDevice() const { return _rootDevice; }
        void SetRootDevice(std::uint64_t device) { _rootDevice = device; }

        void AddEntry(NativeView path, EntryKind kind, const FileId& staged);
        void AddReplacingEntry(NativeView path, EntryKind kind, const FileId& staged, const FileId& installed);
        void SetReadOnly(std::size_t index, bool bIsStagedReadOnly, bool bIsTargetReadOnly);
        // A folder that is missing, made just before the next entry that is added.
        void AddFolder(NativeView path);
        // Replaces the entries from `first` on, which all lie in `folder`, by one entry that moves the
        // whole folder, and forgets the folders planned inside it.
        void ReplaceWithFolder(std::size_t first, NativeView folder, const FileId& staged);
        // Orders the entries for their install, each folder still made before the first entry in it:
        // - the links whose content is copied before every other entry: a copy reads through the link, so
        //   what the link leads to must still be in the staging folder, not moved in already;
        // - then names of a short name's form ("LONGFI~1.TXT") before the others: installed later, such a
        //   name could already be the short name the system gave a long name installed before it.
        void PutInInstallOrder();

        std::size_t EntryCount() const { return _entries.size(); }
        const PlanEntry& Entry(std::size_t index) const { return _entries[index]; }
        NativeView Path(std::size_t index) const { return View(_entries[index].path, _entries[index].length); }

        std::size_t FolderCount() const { return _folders.size(); }
        const PlanFolder& Folder(std::size_t index) const { return _folders[index]; }
        NativeView FolderPath(std::size_t index) const { return View(_folders[index].path, _folders[index].length); }

        // The parts as they are stored, for the journal's format.
        const NativeString& Text() const { return _text; }
        const std::vector<PlanEntry>& Entries() const { return _entries; }
        const std::vector<PlanFolder>& Folders() const { return _folders; }
        static UpdatePlan FromParts(std::uint64_t tag, NativeString text, std::vector<PlanEntry> entries,
                                    std::vector<PlanFolder> folders);

    private:
        std::uint32_t Store(NativeView text);
        NativeView View(std::uint32_t offset, std::uint32_t length) const
        {
            return NativeView(_text).substr(offset, length);
        }

        std::uint64_t _tag = 0;
        std::uint64_t _rootDevice = 0;
        NativeString _text;
        std::vector<PlanEntry> _entries;
        std::vector<PlanFolder> _folders;
    };
}
