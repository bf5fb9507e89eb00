#pragma once

// The on-disk format of an update's record, and the only place that knows it.
//
// Folder picture (one run; <tag> is 16 lowercase hex digits drawn at random for the run, so no staged or
// installed name can meet one of these, and a second run never reuses the first one's names):
//
//   <installation>/
//     .qor-<tag>/                  the run's working folder: the updater's own only if it holds a record
//       journal.part               the record being written; nothing was changed while only this exists
//       journal                    the record: the run may have changed the installation
//       committed                  the record, renamed: every entry is in; what is left is clean-up
//       abandoned                  the record, renamed: every entry the run changed is put back; clean-up
//       leftover                   the record, renamed: a clean-up ran and could not remove everything
//       staging/                   ./self_update, taken over in one rename before the first change
//     <folder>/.qor-<tag>-<n>b     the file entry n replaced, kept until the record is committed or abandoned
//     <folder>/.qor-<tag>-<n>p     that backup while it is copied, where no hard link can be made
//     <folder>/.qor-<tag>-<n>n     entry n's new file while it is copied in (from another file system)
//
// The record's bytes (integers little endian; a "unit" is one native character: 1 byte on Linux,
// 2 bytes of UTF-16 on Windows):
//
//   offset        size      what
//   0             8         magic "QORJRNL2"
//   8             1         unit size: 1 or 2; a record of the other platform is not read
//   9             8         tag, equal to the working folder's name
//   17            8         the installation's device number when the record was made (see FileId)
//   25            4         E, number of entries
//   29            4         F, number of folders
//   33            4         L, length of the path text in units
//   37            L*unit    the path text: every path of the plan, one after another, no separators
//   ..            E*42      entries: path offset 4, path length 4 (units, into the text), kind 1
//                           (0 file, 1 link, 2 linked content, 3 folder), flags 1 (bit 0: replacing,
//                           bit 1: the installed file was read-only, only with bit 0; bit 2:
//                           the staged file is read-only), staged id 16 (device 8, file 8), installed id 16
//   ..            F*12      folders: path offset 4, path length 4, index of the entry it is made before 4
//   end-8         8         FNV-1a 64 of every byte before it
//
// A record is read whole or not at all: wrong magic, size, unit, counts, checksum, a kind or flag out
// of range, a path outside the text, or a path that is not a safe relative path (no root, no "..") make
// it damaged. The tag must match the folder's name.
//
// Device numbers are the system's numbering of the mounted file systems, which a remount or a reboot may
// change (btrfs gives each mount of a subvolume a new one): ids in a record are compared with the device
// only while the installation's device number is still the one the record holds, and by their file
// number alone otherwise.

#include "apply/Plan.h"

#include <qor/Utility/LauncherProtocol.h>

#include <string>

namespace QOR::Update::JournalFormat
{
    // The launcher looks for these names (its rule for an interrupted run), so they are the protocol's.
    inline constexpr const char* JournalName = LauncherProtocol::RunRecordNames[0];
    inline constexpr const char* CommittedName = LauncherProtocol::RunRecordNames[1];
    inline constexpr const char* AbandonedName = LauncherProtocol::RunRecordNames[2];
    inline constexpr const char* WorkFolderPrefix = LauncherProtocol::WorkFolderPrefix;
    // A finished run whose clean-up could not remove everything: what is left waits for the next update's
    // run, and the launcher, which does not look for this name, is not made to start the updater for it.
    inline constexpr const char* LeftoverName = "leftover";
    inline constexpr const char* DraftName = "journal.part";
    inline constexpr const char* StagingName = "staging";

    inline constexpr std::size_t TagDigits = 16;

    // Roles of an entry's working files beside its target.
    inline constexpr char BackupRole = 'b';
    inline constexpr char PartialBackupRole = 'p';
    inline constexpr char NewRole = 'n';

    std::string Serialize(const UpdatePlan& plan);

    enum class ParseResult
    {
        Whole,
        Damaged,
    };
    [[nodiscard]] ParseResult Parse(const std::string& bytes, UpdatePlan& plan);

    // Whether `bytes` could be the start of a record: the beginning of the magic, or the magic and then
    // anything, or zeros (a draft cut short by a power cut: data not yet on the disk reads as zeros).
    bool LooksLikeRecordStart(const std::string& bytes);

    // ".qor-<tag>", and back: true for exactly the names WorkFolderName gives.
    NativeString WorkFolderName(std::uint64_t tag);
    bool ParseWorkFolderName(NativeView name, std::uint64_t& tag);
    // ".qor-<tag>-<entry><role>".
    NativeString WorkingFileName(std::uint64_t tag, std::size_t entry, char role);
}
