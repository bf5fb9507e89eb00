#pragma once

// What the launcher and its updater agree on: the names each holds while it runs, the files of the
// installation folder both use, and how each starts the other. Both programs run with the
// installation folder as their current directory.

#include <cstdint>

namespace QOR::LauncherProtocol
{
    // Named mutexes, given to CreateNamedMutex without the system-wide prefix.
    inline constexpr const char* LauncherMutexName = "QOR_Launcher";       // held by the launcher while it runs
    inline constexpr const char* UpdaterMutexName = "QOR_LauncherUpdater"; // held by the updater for its whole run

    // Names in the installation folder...
    inline constexpr const char* LauncherFileName = "QORLauncher.exe";
    // Never installed from the staging folder, at any depth: the running updater is not replaced.
    inline constexpr const char* UpdaterFileName = "QORLauncherUpdater.exe";
    // The launcher stages the complete new version here, in the installation's own layout.
    inline constexpr const char* StagingFolderName = "self_update";
    inline constexpr const char* LogFolderName = "log";
    // The updater's log: one JSON line per failure.
    inline constexpr const char* LogFileName = "self_updater_log.txt";

    // ...and as the programs name them: relative to the installation folder.
    inline constexpr const char* LauncherPath = "./QORLauncher.exe";
    inline constexpr const char* UpdaterPath = "./QORLauncherUpdater.exe";
    inline constexpr const char* StagingFolder = "./self_update";
    inline constexpr const char* LogFilePath = "./log/self_updater_log.txt";

    // The updater's working folders: this prefix and 16 lowercase hex digits, at the top of the
    // installation. One that holds a file of one of these names is the record of a run that did not
    // finish (or is still cleaning up): while one exists, or ./self_update does, start the updater.
    inline constexpr const char* WorkFolderPrefix = ".qor-";
    inline constexpr const char* RunRecordNames[] = {"journal", "committed", "abandoned"};

    // The creation flags each program starts the other with: DETACHED_PROCESS (0x8, no console of the
    // starter's) | CREATE_UNICODE_ENVIRONMENT (0x400).
    inline constexpr std::uint32_t DetachedLaunchFlags = 0x408;
}
