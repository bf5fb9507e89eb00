#pragma once

// How the updater's own process is set up: hardened against how it was started, told apart from the
// files it installs, and put in the background once the player no longer waits for it.

#include "platform/FileSystem.h"

#include <optional>

namespace QOR
{
    // Called first in main, before anything opens a file, so that how the updater was started cannot
    // stop it or garble its reports:
    //  Windows: DLLs are loaded from System32 only, never from the installation folder the updater is
    //  about to overwrite; standard handles that name nothing are pointed at NUL.
    //  Linux: missing standard descriptors 0 to 2 are opened on /dev/null, and SIGPIPE is ignored.
    void HardenProcess() noexcept;

    // The file the running updater was started from, so that no staged name reaches it, whatever the
    // name (a case variant or a short name on Windows, a hard link). Empty where it cannot be told.
    std::optional<Update::FileId> RunningProgramId() noexcept;

    // From here on the process yields the disk (and the processor) to everything else: idle I/O priority
    // on Linux, background mode on Windows. For work the player does not wait for.
    void EnterBackgroundMode() noexcept;
}
