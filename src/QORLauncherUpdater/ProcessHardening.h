#pragma once

namespace QOR
{
    // Called first in main: on Windows, DLLs are then loaded from System32 only, never from the
    // installation folder the updater is about to overwrite. Nothing to do elsewhere.
    void HardenProcess() noexcept;
}
