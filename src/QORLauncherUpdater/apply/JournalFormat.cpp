#include "apply/JournalFormat.h"

#include "apply/PathRules.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace QOR::Update::JournalFormat
{
    namespace
    {
        constexpr char Magic[8] = {'Q', 'O', 'R', 'J', 'R', 'N', 'L', '2'};
        constexpr std::size_t HeaderBytes = sizeof(Magic) + 1 + 8 + 8 + 4 + 4 + 4;
        constexpr std::size_t IdBytes = 16;
        constexpr std::size_t EntryBytes = 4 + 4 + 1 + 1 + IdBytes + IdBytes;
        constexpr std::size_t FolderBytes = 4 + 4 + 4;
        constexpr std::size_t ChecksumBytes = 8;
        constexpr std::uint8_t ReplacingFlag = 1;
        constexpr std::uint8_t TargetReadOnlyFlag = 2;
        constexpr std::uint8_t StagedReadOnlyFlag = 4;
        constexpr std::uint8_t KnownFlags = ReplacingFlag | TargetReadOnlyFlag | StagedReadOnlyFlag;

        std::uint8_t FlagsOf(const PlanEntry& entry)
        {
            return static_cast<std::uint8_t>((entry.bIsReplacing ? ReplacingFlag : 0) |
                                             (entry.bIsTargetReadOnly ? TargetReadOnlyFlag : 0) |
                                             (entry.bIsStagedReadOnly ? StagedReadOnlyFlag : 0));
        }

        // FNV-1a: enough to tell a whole record from a torn or damaged one.
        std::uint64_t Checksum(const char* data, std::size_t size)
        {
            std::uint64_t hash = 14695981039346656037ull;
            for (std::size_t i = 0; i < size; ++i)
            {
                hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
            }
            return hash;
        }

        void Put(std::string& out, std::uint64_t value, std::size_t bytes)
        {
            for (std::size_t i = 0; i < bytes; ++i)
            {
                out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
            }
        }

        void PutId(std::string& out, const FileId& id)
        {
            Put(out, id.device, 8);
            Put(out, id.file, 8);
        }

        // Reads fields in order; every read checks that the bytes are there.
        class Reader
        {
        public:
            Reader(const std::string& bytes, std::size_t end) : _bytes(bytes), _end(end) {}

            bool Number(std::uint64_t& value, std::size_t bytes)
            {
                if (_end - _at < bytes)
                {
                    return false;
                }
                value = 0;
                for (std::size_t i = 0; i < bytes; ++i)
                {
                    value |= std::uint64_t{static_cast<unsigned char>(_bytes[_at++])} << (8 * i);
                }
                return true;
            }

            bool Number32(std::uint32_t& value)
            {
                std::uint64_t wide = 0;
                const bool ok = Number(wide, 4);
                value = static_cast<std::uint32_t>(wide);
                return ok;
            }

            bool Id(FileId& id) { return Number(id.device, 8) && Number(id.file, 8); }

            bool Text(NativeString& text, std::uint64_t units)
            {
                if (units > (_end - _at) / sizeof(NativeChar))
                {
                    return false;
                }
                text.resize(static_cast<std::size_t>(units));
                for (NativeChar& c : text)
                {
                    std::uint64_t unit = 0;
                    (void)Number(unit, sizeof(NativeChar));
                    c = static_cast<NativeChar>(unit);
                }
                return true;
            }

            std::size_t Left() const { return _end - _at; }
            void Skip(std::size_t bytes) { _at += bytes; }

        private:
            const std::string& _bytes;
            std::size_t _end;
            std::size_t _at = 0;
        };

        char HexDigit(unsigned value)
        {
            return "0123456789abcdef"[value & 0xF];
        }

        bool SafePath(const NativeString& text, std::uint32_t offset, std::uint32_t length)
        {
            return std::uint64_t{offset} + length <= text.size() &&
                   IsSafeRelative(NativeView(text).substr(offset, length));
        }
    }

    std::string Serialize(const UpdatePlan& plan)
    {
        const NativeString& text = plan.Text();
        std::string out(Magic, sizeof(Magic));
        out.reserve(HeaderBytes + text.size() * sizeof(NativeChar) + plan.EntryCount() * EntryBytes +
                    plan.FolderCount() * FolderBytes + ChecksumBytes);
        Put(out, sizeof(NativeChar), 1);
        Put(out, plan.GetTag(), 8);
        Put(out, plan.GetRootDevice(), 8);
        Put(out, plan.EntryCount(), 4);
        Put(out, plan.FolderCount(), 4);
        Put(out, text.size(), 4);
        for (const NativeChar c : text)
        {
            Put(out, static_cast<std::uint64_t>(c), sizeof(NativeChar));
        }
        for (const PlanEntry& entry : plan.Entries())
        {
            Put(out, entry.path, 4);
            Put(out, entry.length, 4);
            Put(out, static_cast<std::uint8_t>(entry.kind), 1);
            Put(out, FlagsOf(entry), 1);
            PutId(out, entry.staged);
            PutId(out, entry.installed);
        }
        for (const PlanFolder& folder : plan.Folders())
        {
            Put(out, folder.path, 4);
            Put(out, folder.length, 4);
            Put(out, folder.entry, 4);
        }
        Put(out, Checksum(out.data(), out.size()), ChecksumBytes);
        return out;
    }

    namespace
    {
        bool ParseEntry(Reader& in, const NativeString& text, PlanEntry& entry)
        {
            std::uint64_t kind = 0;
            std::uint64_t flags = 0;
            if (!in.Number32(entry.path) || !in.Number32(entry.length) || !in.Number(kind, 1) || !in.Number(flags, 1) ||
                !in.Id(entry.staged) || !in.Id(entry.installed) ||
                kind > static_cast<std::uint64_t>(EntryKind::Folder) || (flags & ~std::uint64_t{KnownFlags}) != 0 ||
                ((flags & TargetReadOnlyFlag) != 0 && (flags & ReplacingFlag) == 0) ||
                !SafePath(text, entry.path, entry.length))
            {
                return false;
            }
            entry.kind = static_cast<EntryKind>(kind);
            entry.bIsReplacing = (flags & ReplacingFlag) != 0;
            entry.bIsTargetReadOnly = (flags & TargetReadOnlyFlag) != 0;
            entry.bIsStagedReadOnly = (flags & StagedReadOnlyFlag) != 0;
            return true;
        }

        bool ParseFolder(Reader& in, const NativeString& text, std::size_t entryCount, PlanFolder& folder)
        {
            return in.Number32(folder.path) && in.Number32(folder.length) && in.Number32(folder.entry) &&
                   folder.entry <= entryCount && SafePath(text, folder.path, folder.length);
        }

        // The magic, the size and the checksum: whether the bytes are one whole record at all.
        bool IsWhole(const std::string& bytes)
        {
            if (bytes.size() < HeaderBytes + ChecksumBytes || std::memcmp(bytes.data(), Magic, sizeof(Magic)) != 0)
            {
                return false;
            }
            const std::size_t end = bytes.size() - ChecksumBytes;
            Reader checksum(bytes, bytes.size());
            checksum.Skip(end);
            std::uint64_t stored = 0;
            return checksum.Number(stored, ChecksumBytes) && stored == Checksum(bytes.data(), end);
        }
    }

    ParseResult Parse(const std::string& bytes, UpdatePlan& plan)
    {
        if (!IsWhole(bytes))
        {
            return ParseResult::Damaged;
        }
        Reader in(bytes, bytes.size() - ChecksumBytes);
        in.Skip(sizeof(Magic));
        std::uint64_t unit = 0;
        std::uint64_t tag = 0;
        std::uint64_t rootDevice = 0;
        std::uint64_t entryCount = 0;
        std::uint64_t folderCount = 0;
        std::uint64_t textLength = 0;
        NativeString text;
        if (!in.Number(unit, 1) || unit != sizeof(NativeChar) || !in.Number(tag, 8) || !in.Number(rootDevice, 8) ||
            !in.Number(entryCount, 4) || !in.Number(folderCount, 4) || !in.Number(textLength, 4) ||
            !in.Text(text, textLength) || in.Left() != entryCount * EntryBytes + folderCount * FolderBytes)
        {
            return ParseResult::Damaged;
        }
        std::vector<PlanEntry> entries(static_cast<std::size_t>(entryCount));
        for (PlanEntry& entry : entries)
        {
            if (!ParseEntry(in, text, entry))
            {
                return ParseResult::Damaged;
            }
        }
        std::vector<PlanFolder> folders(static_cast<std::size_t>(folderCount));
        for (PlanFolder& folder : folders)
        {
            if (!ParseFolder(in, text, entries.size(), folder))
            {
                return ParseResult::Damaged;
            }
        }
        plan = UpdatePlan::FromParts(tag, std::move(text), std::move(entries), std::move(folders));
        plan.SetRootDevice(rootDevice);
        return ParseResult::Whole;
    }

    bool LooksLikeRecordStart(const std::string& bytes)
    {
        // A cut before the data reached the disk leaves zeros where it would have been.
        const std::size_t compared = std::min(bytes.size(), sizeof(Magic));
        return std::memcmp(bytes.data(), Magic, compared) == 0 ||
               std::all_of(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(compared),
                           [](char c) { return c == '\0'; });
    }

    NativeString WorkFolderName(std::uint64_t tag)
    {
        NativeString name = FromAscii(WorkFolderPrefix);
        for (int shift = 60; shift >= 0; shift -= 4)
        {
            name.push_back(static_cast<NativeChar>(HexDigit(static_cast<unsigned>(tag >> shift))));
        }
        return name;
    }

    bool ParseWorkFolderName(NativeView name, std::uint64_t& tag)
    {
        const NativeString prefix = FromAscii(WorkFolderPrefix);
        if (name.size() != prefix.size() + TagDigits || name.substr(0, prefix.size()) != prefix)
        {
            return false;
        }
        std::uint64_t value = 0;
        for (const NativeChar c : name.substr(prefix.size()))
        {
            unsigned digit = 0;
            if (c >= NativeChar('0') && c <= NativeChar('9'))
            {
                digit = static_cast<unsigned>(c - NativeChar('0'));
            }
            else if (c >= NativeChar('a') && c <= NativeChar('f'))
            {
                digit = static_cast<unsigned>(c - NativeChar('a')) + 10;
            }
            else
            {
                return false;
            }
            value = (value << 4) | digit;
        }
        tag = value;
        return true;
    }

    NativeString WorkingFileName(std::uint64_t tag, std::size_t entry, char role)
    {
        NativeString name = WorkFolderName(tag);
        name.push_back(NativeChar('-'));
        const std::string number = std::to_string(entry);
        name.append(number.begin(), number.end());
        name.push_back(static_cast<NativeChar>(role));
        return name;
    }
}
