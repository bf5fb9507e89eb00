#include "ProcessHardening.h"

namespace QOR
{
    void HardenProcess() noexcept
    {
        // The dynamic loader never searches the current directory here.
    }
}
