#pragma once

// The planner's checks of staged names against the installation, made before anything changes. Names are
// compared as the installation's file system compares them (FoldCase): case-insensitively on Windows,
// byte for byte on Linux.

#include "apply/ApplyError.h"
#include "apply/Layout.h"

#include <optional>
#include <unordered_map>

namespace QOR::Update
{
    // An error of a staged entry, found while the staging folder is read.
    ApplyError StagedError(ApplyReason reason, NativeView relative, std::error_code code = {});

    // The names directly in one staged folder, as they are met.
    class FolderNames
    {
    public:
        // Refuses the second of two names that the installation takes for one (a tree staged where names are
        // case-sensitive can hold "Lib" and "lib"), naming both.
        [[nodiscard]] std::optional<ApplyError> Add(FileSystem& fileSystem, const NativeString& relative);

    private:
        // Folded name -> name as staged.
        std::unordered_map<NativeString, NativeString> _names;
    };

    // Refuses a staged file whose place is the updater's own log (`foldedLog`: its relative path, folded;
    // empty when there is none): the updater holds it open for the whole run.
    [[nodiscard]] std::optional<ApplyError> CheckOwnLog(FileSystem& fileSystem, const NativeString& relative,
                                                        const NativeString& foldedLog);

    // Refuses a staged name whose installed place, which exists, has another name in its folder: the staged
    // name is a short (8.3) name of another installed entry, and a move to it would replace that entry. Only
    // names of a short name's form are looked up.
    [[nodiscard]] std::optional<ApplyError> CheckShortName(FileSystem& fileSystem, const Layout& layout,
                                                           const NativeString& relative);
}
