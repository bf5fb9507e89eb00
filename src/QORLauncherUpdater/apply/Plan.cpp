#include "apply/Plan.h"

#include "apply/PathRules.h"

#include <limits>
#include <stdexcept>
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
