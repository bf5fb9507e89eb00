#pragma once

// How the engine takes paths apart and puts them together, and which relative paths it accepts. Paths
// inside a plan are relative, with Separator between their elements; they come from the staging walk or
// from a journal on disk, and a journal is input like any other: IsSafeRelative is checked on every
// path read from one, so no record can lead the engine outside the installation.

#include "platform/FileSystem.h"

#include <optional>

namespace QOR::Update
{
    // `folder` and `name` joined by one separator; either may be empty.
    NativeString Join(NativeView folder, NativeView name);

    // The folder part of a relative path (empty at the top).
    NativeView ParentOf(NativeView relative);
    // The last element of a path.
    NativeView NameOf(NativeView relative);
    // The first element of a relative path.
    NativeView FirstElementOf(NativeView relative);
    // Whether `path` is `folder` itself or lies below it (element-wise, byte for byte).
    bool IsInside(NativeView path, NativeView folder);

    // A non-empty relative path of names: no root, drive or device, no empty, "." or ".." element, no
    // other separator than Separator (on Windows neither '/' nor ':' nor control characters either, as
    // they would name a stream or another drive), no NUL.
    bool IsSafeRelative(NativeView path);

    // Whether `name` has the form of a short (8.3) name Windows or Wine makes for a longer one: one to eight
    // characters with a tilde among them, then at most a dot and one to three characters, none of them a
    // space, a control character or one that short names never hold. Only such names are looked up for
    // the long name they may stand for: the look-up costs a search of the folder.
    bool LooksLikeShortName(NativeView name);

    // Where a symbolic link with this text, at this relative place, leads: the relative path it names,
    // resolved element by element, or nothing when it is absolute, names another drive or climbs above
    // the top (then it leads out of the tree it was staged in).
    std::optional<NativeString> LinkDestination(NativeView linkRelative, NativeView text);
}
