#include "apply/StagedNames.h"

#include "apply/PathRules.h"

namespace QOR::Update
{
    ApplyError StagedError(ApplyReason reason, NativeView relative, std::error_code code)
    {
        ApplyError error;
        error.step = ApplyStep::ReadStaging;
        error.reason = reason;
        error.code = code;
        error.place = PathPlace::Staged;
        error.path = NativeString(relative);
        return error;
    }

    std::optional<ApplyError> FolderNames::Add(FileSystem& fileSystem, const NativeString& relative)
    {
        const NativeString name(NameOf(relative));
        const auto [known, inserted] = _names.emplace(fileSystem.FoldCase(name), name);
        if (inserted)
        {
            return std::nullopt;
        }
        ApplyError error = StagedError(ApplyReason::NamesCollide, relative);
        error.otherPath = Join(ParentOf(relative), known->second);
        return error;
    }

    std::optional<ApplyError> CheckOwnLog(FileSystem& fileSystem, const NativeString& relative,
                                          const NativeString& foldedLog)
    {
        if (foldedLog.empty() || fileSystem.FoldCase(relative) != foldedLog)
        {
            return std::nullopt;
        }
        return StagedError(ApplyReason::OwnLog, relative);
    }

    std::optional<ApplyError> CheckShortName(FileSystem& fileSystem, const Layout& layout, const NativeString& relative)
    {
        const NativeView name = NameOf(relative);
        if (!LooksLikeShortName(name))
        {
            return std::nullopt;
        }
        NativeString longName;
        if (const std::error_code error = fileSystem.LongName(layout.Installed(relative), longName))
        {
            return StagedError(ApplyReason::System, relative, error);
        }
        if (fileSystem.FoldCase(longName) == fileSystem.FoldCase(NativeString(name)))
        {
            return std::nullopt;
        }
        ApplyError error = StagedError(ApplyReason::ShortName, relative);
        error.otherPlace = PathPlace::FileSystem;
        error.otherPath = layout.Installed(Join(ParentOf(relative), longName));
        return error;
    }
}
