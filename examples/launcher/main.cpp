// QORLauncher.exe: the reference for launcher developers. It shows the launcher's side of the
// self-update protocol and is the launcher of the demo and the end-to-end tests.
//
//   QORLauncher.exe [--stage <folder>] [--start-updater] [--hold <seconds>] [--hold-ms <milliseconds>]
//
// 1. Holds the named mutex "QOR_Launcher" for as long as it runs: the updater waits until it is free.
// 2. Appends "cwd=<current directory> args=<argument count>" to ./launcher_started.txt.
// 3. --stage: copies a prepared new version into ./self_update (a real launcher downloads it there).
// 4. --start-updater: starts ./QORLauncherUpdater.exe in the installation folder, detached.
// 5. --hold / --hold-ms: stays running that long (still holding the mutex), then exits, which frees it.
//
// Started without arguments (as the updater starts it after an update) it only does 1 and 2.
//
// For the handover benchmark: with QOR_LAUNCHER_CLOCK_LOG set to a file, it also appends
// "start <ns>" once it holds the mutex and "exit <ns>" as it returns, read from the system-wide
// monotonic clock (CLOCK_MONOTONIC; QueryPerformanceCounter on Windows), so the times of two
// launchers can be compared. The environment reaches the launcher the updater starts.

#include <qor/Utility/LauncherProtocol.h>
#include <qor/Utility/Utility.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;
namespace Protocol = QOR::LauncherProtocol;

namespace
{
    struct Options
    {
        fs::path stageFrom;
        bool startUpdater = false;
        std::chrono::milliseconds hold{0};
        bool valid = true;
    };

    Options ParseOptions(int argc, char** argv)
    {
        Options options;
        for (int i = 1; i < argc; ++i)
        {
            const std::string argument = argv[i];
            if (argument == "--stage" && i + 1 < argc)
            {
                options.stageFrom = fs::path(argv[++i]);
            }
            else if (argument == "--start-updater")
            {
                options.startUpdater = true;
            }
            else if (argument == "--hold" && i + 1 < argc)
            {
                options.hold = std::chrono::seconds(std::atoi(argv[++i]));
            }
            else if (argument == "--hold-ms" && i + 1 < argc)
            {
                options.hold = std::chrono::milliseconds(std::atoi(argv[++i]));
            }
            else
            {
                options.valid = false;
            }
        }
        return options;
    }

    // The update must be complete before the updater starts: it copies whatever it finds.
    bool StageUpdate(const fs::path& from)
    {
        std::error_code error;
        fs::remove_all(Protocol::StagingFolder, error);
        fs::copy(from, Protocol::StagingFolder, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
        if (error)
        {
            std::fprintf(stderr, "QORLauncher: cannot stage the update: %s\n", error.message().c_str());
            return false;
        }
        return true;
    }

    void RecordStart(int argc)
    {
        std::error_code error;
        const fs::path cwd = fs::current_path(error);
        std::ofstream marker("launcher_started.txt", std::ios::app | std::ios::binary);
        const auto text = cwd.u8string();
        marker << "cwd=" << std::string(text.begin(), text.end()) << " args=" << (argc - 1) << "\n";
    }

    // One "<event> <ns>" line in the file QOR_LAUNCHER_CLOCK_LOG names; nothing when it is not set.
    void StampClock(const char* event)
    {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        const char* path = std::getenv("QOR_LAUNCHER_CLOCK_LOG");
        if (path == nullptr || *path == '\0')
        {
            return;
        }
        std::ofstream log(path, std::ios::app | std::ios::binary);
        log << event << " " << std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() << "\n";
    }
}

int main(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    if (!options.valid)
    {
        std::fprintf(stderr, "usage: QORLauncher.exe [--stage <folder>] [--start-updater] [--hold <seconds>] "
                             "[--hold-ms <milliseconds>]\n");
        return 2;
    }

    // Held until this process ends, however it ends.
    const QOR::MutexResult running = QOR::CreateNamedMutex(Protocol::LauncherMutexName);
    if (!running.mutex)
    {
        std::fprintf(stderr, "QORLauncher: already running (%s)\n", running.error.GetText().c_str());
        return 1;
    }
    StampClock("start");
    RecordStart(argc);

    if (!options.stageFrom.empty() && !StageUpdate(options.stageFrom))
    {
        return 1;
    }
    if (options.startUpdater)
    {
        // The handles are dropped at once: the launcher never waits for the updater, which waits for it.
        const QOR::LaunchResult updater = QOR::LaunchProcess(Protocol::UpdaterPath, "", Protocol::DetachedLaunchFlags);
        if (updater.error)
        {
            std::fprintf(stderr, "QORLauncher: %s\n", updater.error.GetText().c_str());
            return 1;
        }
    }
    if (options.hold > std::chrono::milliseconds::zero())
    {
        std::this_thread::sleep_for(options.hold);
    }
    StampClock("exit");
    return 0;
}
