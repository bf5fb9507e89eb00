#include "apply/Plan.h"

#include "apply/PathRules.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace QOR::Update
{
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

    void UpdatePlan::AddEntry(NativeView path, EntryKind kind, const FileId& staged)
    {
        PlanEntry entry;
        entry.path = Store(path);
        entry.length = static_cast<std::uint32_t>(path.size());
        entry.kind = kind;
        entry.staged = staged;
        _entries.push_back(entry);
    }

    void UpdatePlan::AddReplacingEntry(NativeView path, EntryKind kind, const FileId& staged, const FileId& installed)
    {
        AddEntry(path, kind, staged);
        _entries.back().bIsReplacing = true;
        _entries.back().installed = installed;
    }

    void UpdatePlan::SetReadOnly(std::size_t index, bool bIsStagedReadOnly, bool bIsTargetReadOnly)
    {
        _entries[index].bIsStagedReadOnly = bIsStagedReadOnly;
        _entries[index].bIsTargetReadOnly = bIsTargetReadOnly;
    }

    void UpdatePlan::AddFolder(NativeView path)
    {
        PlanFolder folder;
        folder.path = Store(path);
        folder.length = static_cast<std::uint32_t>(path.size());
        folder.entry = static_cast<std::uint32_t>(_entries.size());
        _folders.push_back(folder);
    }

    void UpdatePlan::ReplaceWithFolder(std::size_t first, NativeView folder, const FileId& staged)
    {
        _entries.resize(first);
        std::vector<PlanFolder> kept;
        for (const PlanFolder& planned : _folders)
        {
            if (planned.entry < first || !IsInside(View(planned.path, planned.length), folder))
            {
                kept.push_back(planned);
            }
        }
        _folders = std::move(kept);
        AddEntry(folder, EntryKind::Folder, staged);
    }

    void UpdatePlan::PutInInstallOrder()
    {
        // Each entry's place in that order, worked out once: 0 a short-form copy, 1 a copy, 2 a short-form
        // name, 3 the rest.
        std::vector<std::uint8_t> ranks;
        ranks.reserve(_entries.size());
        for (const PlanEntry& entry : _entries)
        {
            const bool bIsCopy = entry.kind == EntryKind::LinkedContent;
            const bool bIsShortForm = LooksLikeShortName(NameOf(View(entry.path, entry.length)));
            ranks.push_back(static_cast<std::uint8_t>((bIsCopy ? 0 : 2) + (bIsShortForm ? 0 : 1)));
        }
        if (std::is_sorted(ranks.begin(), ranks.end()))
        {
            return;
        }
        std::vector<std::size_t> order(_entries.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t left, std::size_t right) { return ranks[left] < ranks[right]; });
        std::vector<PlanEntry> entries;
        entries.reserve(_entries.size());
        for (const std::size_t i : order)
        {
            entries.push_back(_entries[i]);
        }
        _entries = std::move(entries);
        // Each folder before the first entry, in the new order, that lies in it; an entry's folders above
        // the first one already placed were placed with it.
        std::unordered_map<NativeString, std::size_t> byPath;
        for (std::size_t i = 0; i < _folders.size(); ++i)
        {
            byPath.emplace(NativeString(FolderPath(i)), i);
            _folders[i].entry = static_cast<std::uint32_t>(_entries.size());
        }
        for (std::size_t i = 0; i < _entries.size(); ++i)
        {
            for (NativeView folder = ParentOf(Path(i)); !folder.empty(); folder = ParentOf(folder))
            {
                const auto found = byPath.find(NativeString(folder));
                if (found != byPath.end() && _folders[found->second].entry <= i)
                {
                    break;
                }
                if (found != byPath.end())
                {
                    _folders[found->second].entry = static_cast<std::uint32_t>(i);
                }
            }
        }
        // Parents were planned before their folders and are never placed later than them.
        std::stable_sort(_folders.begin(), _folders.end(),
                         [](const PlanFolder& left, const PlanFolder& right) { return left.entry < right.entry; });
    }

    UpdatePlan UpdatePlan::FromParts(std::uint64_t tag, NativeString text, std::vector<PlanEntry> entries,
                                     std::vector<PlanFolder> folders)
    {
        UpdatePlan plan;
        plan._tag = tag;
        plan._text = std::move(text);
        plan._entries = std::move(entries);
        plan._folders = std::move(folders);
        return plan;
    }
}
