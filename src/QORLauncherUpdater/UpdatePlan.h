#pragma once

// What one update does, fixed before its first change: every staged entry with its place in the
// installation, and the folders to make. Written to the journal as it is, so that a run killed at
// any moment can be undone or finished by the next one. Kept compact (one text buffer for all
// paths): a tree of 50 000 files fits in a few megabytes.

#include "FileSystem.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace QOR::Update
{
    using FileSystem::NativeChar;
    using FileSystem::NativeString;
    using NativeView = std::basic_string_view<NativeChar>;

    enum class EntryKind : std::uint8_t
    {
        File,          // a regular file, moved into place
        Link,          // a symbolic link, installed as that same link (Linux)
        LinkedContent, // a symbolic link whose target's content is installed under its name (Windows)
        Folder,        // a whole folder where the installation has none, moved in one step
    };

    struct PlanEntry
    {
        std::uint32_t source = 0; // relative to the staging folder
        std::uint32_t sourceLength = 0;
        std::uint32_t target = 0; // relative to the installation
        std::uint32_t targetLength = 0;
        EntryKind kind = EntryKind::File;
        bool bIsReplacing = false; // an installed file was there when the plan was made
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

        void AddEntry(NativeView source, NativeView target, EntryKind kind, bool bIsReplacing);
        // A folder that is missing, made just before the next entry that is added.
        void AddFolder(NativeView path);
        // Drops an earlier entry that a later one replaces (two staged names meeting in one target).
        void DropEntry(std::size_t index);
        // Removes dropped entries; folder order and ownership are kept.
        void Compact();
        // Replaces the entries from `first` on, which all lie in `folder`, by one entry that moves the
        // whole folder, and forgets the folders planned inside it.
        void ReplaceWithFolder(std::size_t first, NativeView folder);

        std::size_t EntryCount() const { return _entries.size(); }
        const PlanEntry& Entry(std::size_t index) const { return _entries[index]; }
        NativeView Source(std::size_t index) const;
        NativeView Target(std::size_t index) const;

        std::size_t FolderCount() const { return _folders.size(); }
        const PlanFolder& Folder(std::size_t index) const { return _folders[index]; }
        NativeView FolderPath(std::size_t index) const;

        // The journal's bytes: a header, the plan, a checksum.
        std::string Serialize() const;
        // False for anything that is not a whole journal of this program (torn, foreign, other version).
        [[nodiscard]] static bool Parse(const std::string& bytes, UpdatePlan& plan);

    private:
        std::uint32_t Store(NativeView text);
        NativeView View(std::uint32_t offset, std::uint32_t length) const;

        std::uint64_t _tag = 0;
        NativeString _text;
        std::vector<PlanEntry> _entries;
        std::vector<PlanFolder> _folders;
        std::vector<bool> _dropped;
    };

    // Names of the update's own working files. Each carries the update's random tag and the entry's
    // number, so it can never meet a staged or installed name, however long or strange that is.
    NativeString WorkFolderName(std::uint64_t tag);
    // True for a name WorkFolderName can give; `tag` receives its tag.
    bool ParseWorkFolderName(const NativeString& name, std::uint64_t& tag);
    NativeString WorkingFileName(std::uint64_t tag, std::size_t entry, NativeChar role);

    // Whether a staged symbolic link with this text, at this place below the staging folder, names
    // something inside the installed tree once installed at the same place: relative, never climbing
    // above the top, and not into the staging folder (which is deleted after the update).
    bool LinkStaysInside(NativeView linkRelative, NativeView text, NativeView stagingName);

    // The folder part of a relative path (empty at the top).
    NativeView ParentOf(NativeView relative);
    // The last element of a path.
    NativeView NameOf(NativeView relative);
    // The first element of a relative path.
    NativeView FirstElementOf(NativeView relative);
}
