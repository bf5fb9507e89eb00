#include "apply/Layout.h"

#include "apply/PathRules.h"

#include <qor/Utility/LauncherProtocol.h>

#include <utility>

namespace QOR::Update
{
    Layout::Layout(NativeString root)
        : _root(std::move(root)), _staging(Join(_root, FromAscii(LauncherProtocol::StagingFolderName)))
    {
    }

    NativeString Layout::Join(NativeView folder, NativeView name)
    {
        return Update::Join(folder, name);
    }

    NativeString Layout::WorkFolder(std::uint64_t tag) const
    {
        return Join(_root, JournalFormat::WorkFolderName(tag));
    }

    NativeString Layout::Record(std::uint64_t tag, const char* recordName) const
    {
        return Join(WorkFolder(tag), FromAscii(recordName));
    }

    NativeString Layout::Adopted(std::uint64_t tag) const
    {
        return Record(tag, JournalFormat::StagingName);
    }

    NativeString Layout::Beside(const UpdatePlan& plan, std::size_t index, char role) const
    {
        const NativeView folder = ParentOf(plan.Path(index));
        return Join(Installed(folder), JournalFormat::WorkingFileName(plan.GetTag(), index, role));
    }
}
