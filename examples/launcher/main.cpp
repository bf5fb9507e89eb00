// QORLauncher.exe: the reference for launcher developers. It shows the launcher's side of the
// self-update protocol and is the launcher of the demo and the end-to-end tests.
//
//   QORLauncher.exe [--check-pending] [--stage <folder>] [--start-updater] [--hold <seconds>]
//                   [--hold-ms <milliseconds>]
//
// 1. Holds the named mutex "QOR_Launcher" for as long as it runs: the updater waits until it is free.
// 2. Appends "cwd=<current directory> args=<argument count>" to ./launcher_started.txt.
// 3. --check-pending: what a real launcher does on every start, before anything else: when an update is
//    pending (IsUpdatePending), it starts ./QORLauncherUpdater.exe and exits at once, doing nothing more;
//    the updater finishes or repairs the update and starts the launcher again.
// 4. --stage: copies a prepared new version into ./self_update (a real launcher downloads it there).
// 5. --start-updater: starts ./QORLauncherUpdater.exe in the installation folder, detached.
// 6. --hold / --hold-ms: stays running that long (still holding the mutex), then exits, which frees it.
//
// Started without arguments (as the updater starts it after an update) it only does 1 and 2. The check
// of 3 is a flag here, not the default, because the tests start this launcher beside staged updates
// that their own updater runs are meant to apply.
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
#include <string_view>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;
namespace Protocol = QOR::LauncherProtocol;

namespace
{
    struct Options
    {
        bool checkPending = false;
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
            if (argument == "--check-pending")
            {
                options.checkPending = true;
            }
            else if (argument == "--stage" && i + 1 < argc)
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

    // The updater's working folder: ".qor-" and 16 lowercase hex digits, at the top of the installation.
    bool IsWorkFolderName(const fs::path::string_type& name)
    {
        const std::string_view prefix = Protocol::WorkFolderPrefix;
        if (name.size() != prefix.size() + 16)
        {
            return false;
        }
        for (std::size_t i = 0; i < name.size(); ++i)
        {
            const auto c = name[i];
            const bool bIsExpected = i < prefix.size() ? c == static_cast<fs::path::value_type>(prefix[i])
                                                       : (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
            if (!bIsExpected)
            {
                return false;
            }
        }
        return true;
    }

    bool Exists(const fs::path& path)
    {
        std::error_code error;
        return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
    }

    // The one rule: the updater must run whenever ./self_update exists (an update staged, or put back by a
    // failed run), or a working folder holds a record of a run that did not finish ("journal",
    // "committed" or "abandoned"): the updater repairs or finishes that run and reclaims its space.
    // Anything else a launcher does (staging a new version above all) comes after.
    bool IsUpdatePending()
    {
        if (Exists(Protocol::StagingFolder))
        {
            return true;
        }
        std::error_code error;
        for (fs::directory_iterator entry(".", error), end; !error && entry != end; entry.increment(error))
        {
            if (!IsWorkFolderName(entry->path().filename().native()))
            {
                continue;
            }
            for (const char* record : Protocol::RunRecordNames)
            {
                if (Exists(entry->path() / record))
                {
                    return true;
                }
            }
        }
        return false;
    }

    // The handles are dropped at once: the launcher never waits for the updater, which waits for it.
    bool StartUpdater()
    {
        const QOR::LaunchResult updater = QOR::LaunchProcess(Protocol::UpdaterPath, "", Protocol::DetachedLaunchFlags);
        if (updater.error)
        {
            std::fprintf(stderr, "QORLauncher: %s\n", updater.error.GetText().c_str());
            return false;
        }
        return true;
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
        std::fprintf(stderr, "usage: QORLauncher.exe [--check-pending] [--stage <folder>] [--start-updater] "
                             "[--hold <seconds>] [--hold-ms <milliseconds>]\n");
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

    if (options.checkPending && IsUpdatePending())
    {
        // Exit promptly: the updater waits for this launcher's mutex, and starts the launcher again.
        std::fprintf(stderr, "QORLauncher: an update is pending: starting the updater\n");
        const bool bIsStarted = StartUpdater();
        StampClock("exit");
        return bIsStarted ? 0 : 1;
    }
    if (!options.stageFrom.empty() && !StageUpdate(options.stageFrom))
    {
        return 1;
    }
    if (options.startUpdater && !StartUpdater())
    {
        return 1;
    }
    if (options.hold > std::chrono::milliseconds::zero())
    {
        std::this_thread::sleep_for(options.hold);
    }
    StampClock("exit");
    return 0;
}
