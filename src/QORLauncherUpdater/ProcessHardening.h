#pragma once

namespace QOR
{
    // Called first in main, before anything opens a file, so that how the updater was started cannot
    // stop it or garble its reports:
    //  Windows: DLLs are loaded from System32 only, never from the installation folder the updater is
    //  about to overwrite; standard handles that name nothing are pointed at NUL.
    //  Linux: missing standard descriptors 0 to 2 are opened on /dev/null, and SIGPIPE is ignored.
    void HardenProcess() noexcept;
}
