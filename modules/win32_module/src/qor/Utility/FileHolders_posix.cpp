#include "FileHoldersDetail.h"

namespace QOR::Detail
{
    // Open files never stop a rename or an unlink here, so there is nobody to name.
    bool CanQueryFileHolders() noexcept
    {
        return false;
    }

    std::vector<FileHolder> QueryFileHolders(const std::filesystem::path& /*path*/)
    {
        return {};
    }
}
