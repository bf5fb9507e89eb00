// A launcher for the test of a follow-up update: started by the updater, it marks its start in
// ./launcher_started.txt and, while ./chain/next holds a prepared version, stages it at once (one rename
// into ./self_update), starts the updater again and exits, as a launcher that finds a newer update right
// after being updated would.

#include <qor/Utility/LauncherProtocol.h>
#include <qor/Utility/Utility.h>

#include <filesystem>
#include <fstream>
#include <system_error>

namespace Protocol = QOR::LauncherProtocol;

int main()
{
    const QOR::MutexResult running = QOR::CreateNamedMutex(Protocol::LauncherMutexName);
    if (!running.mutex)
    {
        return 1;
    }
    std::ofstream("launcher_started.txt", std::ios::app) << "started\n";
    std::error_code error;
    if (!std::filesystem::exists("chain/next", error))
    {
        return 0;
    }
    std::filesystem::rename("chain/next", Protocol::StagingFolder, error);
    if (error)
    {
        return 1;
    }
    return QOR::LaunchProcess(Protocol::UpdaterPath, "", Protocol::DetachedLaunchFlags).error ? 1 : 0;
}
