#include "UpdatePlan.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace QOR::Update
{
    namespace
    {
        constexpr char JournalMagic[8] = {'Q', 'O', 'R', 'J', 'R', 'N', 'L', '1'};
        constexpr std::size_t EntryBytes = 4 * 4 + 2;
        constexpr std::size_t FolderBytes = 3 * 4;

        bool IsSeparator(NativeChar c)
        {
            return c == NativeChar('/') || c == FileSystem::Separator;
        }

        // FNV-1a: enough to tell a whole journal from a torn or foreign one.
        std::uint64_t Checksum(const char* data, std::size_t size)
        {
            std::uint64_t hash = 14695981039346656037ull;
            for (std::size_t i = 0; i < size; ++i)
            {
                hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
            }
            return hash;
        }

        void PutNumber(std::string& out, std::uint64_t value, int bytes)
        {
            for (int i = 0; i < bytes; ++i)
            {
                out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
            }
        }

        class Reader
        {
        public:
            Reader(const std::string& bytes, std::size_t end) : _bytes(bytes), _end(end) {}

            bool Number(std::uint64_t& value, int bytes)
            {
                if (_end - _at < static_cast<std::size_t>(bytes))
                {
                    return false;
                }
                value = 0;
                for (int i = 0; i < bytes; ++i)
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

            bool Text(NativeString& text, std::uint64_t length)
            {
                if (length > (_end - _at) / sizeof(NativeChar))
                {
                    return false;
                }
                text.resize(static_cast<std::size_t>(length));
                for (NativeChar& c : text)
                {
                    std::uint64_t unit = 0;
                    Number(unit, sizeof(NativeChar));
                    c = static_cast<NativeChar>(unit);
                }
                return true;
            }

            bool AtEnd() const { return _at == _end; }

        private:
            const std::string& _bytes;
            std::size_t _end;
            std::size_t _at = sizeof(JournalMagic);
        };

        char HexDigit(unsigned value)
        {
            return "0123456789abcdef"[value & 0xF];
        }
    }

    std::uint32_t UpdatePlan::Store(NativeView text)
    {
        if (_text.size() + text.size() > std::numeric_limits<std::uint32_t>::max())
        {
            throw std::length_error("update plan too large");
        }
        const auto offset = static_cast<std::uint32_t>(_text.size());
        _text.append(text);
        return offset;
    }

    NativeView UpdatePlan::View(std::uint32_t offset, std::uint32_t length) const
    {
        return NativeView(_text).substr(offset, length);
    }

    void UpdatePlan::AddEntry(NativeView source, NativeView target, EntryKind kind, bool bIsReplacing)
    {
        PlanEntry entry;
        entry.source = Store(source);
        entry.sourceLength = static_cast<std::uint32_t>(source.size());
        // Most entries land at the same relative place: store the text once.
        if (target == source)
        {
            entry.target = entry.source;
        }
        else
        {
            entry.target = Store(target);
        }
        entry.targetLength = static_cast<std::uint32_t>(target.size());
        entry.kind = kind;
        entry.bIsReplacing = bIsReplacing;
        _entries.push_back(entry);
        _dropped.push_back(false);
    }

    void UpdatePlan::AddFolder(NativeView path)
    {
        PlanFolder folder;
        folder.path = Store(path);
        folder.length = static_cast<std::uint32_t>(path.size());
        folder.entry = static_cast<std::uint32_t>(_entries.size());
        _folders.push_back(folder);
    }

    void UpdatePlan::DropEntry(std::size_t index)
    {
        _dropped[index] = true;
    }

    void UpdatePlan::Compact()
    {
        std::vector<std::uint32_t> newIndex(_entries.size() + 1);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < _entries.size(); ++i)
        {
            newIndex[i] = static_cast<std::uint32_t>(kept);
            if (!_dropped[i])
            {
                _entries[kept++] = _entries[i];
            }
        }
        newIndex[_entries.size()] = static_cast<std::uint32_t>(kept);
        _entries.resize(kept);
        _dropped.assign(kept, false);
        // A folder made for a dropped entry is made for the next kept one instead.
        for (PlanFolder& folder : _folders)
        {
            folder.entry = newIndex[folder.entry];
        }
    }

    void UpdatePlan::ReplaceWithFolder(std::size_t first, NativeView folder)
    {
        _entries.resize(first);
        _dropped.resize(first);
        const auto inside = [&](NativeView path) {
            return path.size() >= folder.size() && path.substr(0, folder.size()) == folder &&
                   (path.size() == folder.size() || path[folder.size()] == FileSystem::Separator);
        };
        std::vector<PlanFolder> kept;
        for (const PlanFolder& planned : _folders)
        {
            if (planned.entry < first || !inside(View(planned.path, planned.length)))
            {
                kept.push_back(planned);
            }
        }
        _folders = std::move(kept);
        const NativeString path(folder);
        AddEntry(path, path, EntryKind::Folder, false);
    }

    NativeView UpdatePlan::Source(std::size_t index) const
    {
        return View(_entries[index].source, _entries[index].sourceLength);
    }

    NativeView UpdatePlan::Target(std::size_t index) const
    {
        return View(_entries[index].target, _entries[index].targetLength);
    }

    NativeView UpdatePlan::FolderPath(std::size_t index) const
    {
        return View(_folders[index].path, _folders[index].length);
    }

    std::string UpdatePlan::Serialize() const
    {
        std::string out(JournalMagic, sizeof(JournalMagic));
        out.reserve(64 + _text.size() * sizeof(NativeChar) + _entries.size() * EntryBytes +
                    _folders.size() * FolderBytes);
        PutNumber(out, _tag, 8);
        PutNumber(out, _entries.size(), 4);
        PutNumber(out, _folders.size(), 4);
        PutNumber(out, _text.size(), 4);
        for (const NativeChar c : _text)
        {
            PutNumber(out, static_cast<std::uint64_t>(c), sizeof(NativeChar));
        }
        for (const PlanEntry& entry : _entries)
        {
            PutNumber(out, entry.source, 4);
            PutNumber(out, entry.sourceLength, 4);
            PutNumber(out, entry.target, 4);
            PutNumber(out, entry.targetLength, 4);
            PutNumber(out, static_cast<std::uint8_t>(entry.kind), 1);
            PutNumber(out, entry.bIsReplacing ? 1 : 0, 1);
        }
        for (const PlanFolder& folder : _folders)
        {
            PutNumber(out, folder.path, 4);
            PutNumber(out, folder.length, 4);
            PutNumber(out, folder.entry, 4);
        }
        PutNumber(out, Checksum(out.data(), out.size()), 8);
        return out;
    }

    bool UpdatePlan::Parse(const std::string& bytes, UpdatePlan& plan)
    {
        if (bytes.size() < sizeof(JournalMagic) + 8 + 12 + 8 ||
            std::memcmp(bytes.data(), JournalMagic, sizeof(JournalMagic)) != 0)
        {
            return false;
        }
        const std::size_t end = bytes.size() - 8;
        std::uint64_t stored = 0;
        for (int i = 0; i < 8; ++i)
        {
            stored |= std::uint64_t{static_cast<unsigned char>(bytes[end + static_cast<std::size_t>(i)])} << (8 * i);
        }
        if (stored != Checksum(bytes.data(), end))
        {
            return false;
        }

        Reader in(bytes, end);
        UpdatePlan parsed;
        std::uint64_t entryCount = 0;
        std::uint64_t folderCount = 0;
        std::uint64_t textLength = 0;
        if (!in.Number(parsed._tag, 8) || !in.Number(entryCount, 4) || !in.Number(folderCount, 4) ||
            !in.Number(textLength, 4) || !in.Text(parsed._text, textLength))
        {
            return false;
        }
        const auto fits = [&](std::uint32_t offset, std::uint32_t length) {
            return std::uint64_t{offset} + length <= parsed._text.size();
        };
        if (entryCount > (end - sizeof(JournalMagic)) / EntryBytes)
        {
            return false;
        }
        parsed._entries.resize(static_cast<std::size_t>(entryCount));
        for (PlanEntry& entry : parsed._entries)
        {
            std::uint64_t kind = 0;
            std::uint64_t replacing = 0;
            if (!in.Number32(entry.source) || !in.Number32(entry.sourceLength) || !in.Number32(entry.target) ||
                !in.Number32(entry.targetLength) || !in.Number(kind, 1) || !in.Number(replacing, 1) ||
                kind > static_cast<std::uint64_t>(EntryKind::Folder) || replacing > 1 ||
                !fits(entry.source, entry.sourceLength) || !fits(entry.target, entry.targetLength))
            {
                return false;
            }
            entry.kind = static_cast<EntryKind>(kind);
            entry.bIsReplacing = replacing == 1;
        }
        if (folderCount > (end - sizeof(JournalMagic)) / FolderBytes)
        {
            return false;
        }
        parsed._folders.resize(static_cast<std::size_t>(folderCount));
        for (PlanFolder& folder : parsed._folders)
        {
            if (!in.Number32(folder.path) || !in.Number32(folder.length) || !in.Number32(folder.entry) ||
                !fits(folder.path, folder.length) || folder.entry > entryCount)
            {
                return false;
            }
        }
        if (!in.AtEnd())
        {
            return false;
        }
        parsed._dropped.assign(parsed._entries.size(), false);
        plan = std::move(parsed);
        return true;
    }

    NativeString WorkFolderName(std::uint64_t tag)
    {
        NativeString name = FileSystem::FromAscii(".qor-");
        for (int shift = 60; shift >= 0; shift -= 4)
        {
            name.push_back(static_cast<NativeChar>(HexDigit(static_cast<unsigned>(tag >> shift))));
        }
        return name;
    }

    bool ParseWorkFolderName(const NativeString& name, std::uint64_t& tag)
    {
        const NativeString prefix = FileSystem::FromAscii(".qor-");
        if (name.size() != prefix.size() + 16 || name.compare(0, prefix.size(), prefix) != 0)
        {
            return false;
        }
        std::uint64_t value = 0;
        for (std::size_t i = prefix.size(); i < name.size(); ++i)
        {
            const NativeChar c = name[i];
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

    NativeString WorkingFileName(std::uint64_t tag, std::size_t entry, NativeChar role)
    {
        NativeString name = WorkFolderName(tag);
        name.push_back(NativeChar('-'));
        const std::string number = std::to_string(entry);
        name.append(number.begin(), number.end());
        name.push_back(role);
        return name;
    }

    bool LinkStaysInside(NativeView linkRelative, NativeView text, NativeView stagingName)
    {
        if (text.empty() || IsSeparator(text.front()))
        {
            return false;
        }
        // "C:..." on Windows: another drive, or a path relative to one.
        if (FileSystem::Separator == NativeChar('\\') && text.size() >= 2 && text[1] == NativeChar(':'))
        {
            return false;
        }
        static const NativeString dot = FileSystem::FromAscii(".");
        static const NativeString dotDot = FileSystem::FromAscii("..");
        std::vector<NativeView> elements;
        const auto push = [&elements](NativeView element) {
            if (element.empty() || element == dot)
            {
                return true;
            }
            if (element == dotDot)
            {
                if (elements.empty())
                {
                    return false;
                }
                elements.pop_back();
                return true;
            }
            elements.push_back(element);
            return true;
        };
        const auto split = [&push](NativeView path) {
            std::size_t start = 0;
            for (std::size_t i = 0; i <= path.size(); ++i)
            {
                if (i == path.size() || IsSeparator(path[i]))
                {
                    if (!push(path.substr(start, i - start)))
                    {
                        return false;
                    }
                    start = i + 1;
                }
            }
            return true;
        };
        if (!split(ParentOf(linkRelative)) || !split(text) || elements.empty())
        {
            return false;
        }
        return FileSystem::FoldCase(NativeString(elements.front())) != FileSystem::FoldCase(NativeString(stagingName));
    }

    NativeView ParentOf(NativeView relative)
    {
        const std::size_t cut = relative.find_last_of(FileSystem::Separator);
        return cut == NativeView::npos ? NativeView{} : relative.substr(0, cut);
    }

    NativeView NameOf(NativeView relative)
    {
        const std::size_t cut = relative.find_last_of(FileSystem::Separator);
        return cut == NativeView::npos ? relative : relative.substr(cut + 1);
    }

    NativeView FirstElementOf(NativeView relative)
    {
        return relative.substr(0, relative.find(FileSystem::Separator));
    }
}
