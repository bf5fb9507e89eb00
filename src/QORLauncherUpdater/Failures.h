#pragma once

// Every failure the updater reports, defined once: the title and text of its box and the text of its
// log line. In the texts, {path} and {error} stand for what one occurrence names: the file, folder or
// lock concerned, and the system's (or the error's own) words for what went wrong.

#include <string>
#include <utility>

namespace QOR
{
    enum class Failure
    {
        SecondInstance,       // another updater holds the single-instance name
        BrokenInstanceLock,   // the single-instance name cannot be had at all: a broken lock
        LauncherStillRunning, // the launcher did not exit in time
        LaunchFailed,         // the launcher could not be started again
        LaunchIncomplete,     // started, but its handles did not come back
        FolderNotCreated,     // a folder the update needs could not be made
        FileNotCopied,        // a staged file could not be installed, or the update could not be applied
        StagingNotRemoved,    // the staging folder could not be deleted; the run goes on
        Unexpected,           // an error the procedure has no report of its own for
    };

    struct FailureTexts
    {
        const char* title;
        const char* box;
        const char* log; // nullptr: the box is the whole report
    };

    inline constexpr const char* BoxTitle = "QOR Launcher Updater";
    // One box for every way the update itself can fail; the log line tells them apart.
    inline constexpr const char* CopyFailedBox = "Error: Unable to copy update files. Aborting application.";
    inline constexpr const char* InstanceBox =
        "Error: Only one instance of LauncherUpdater can work. Aborting application.";

    constexpr FailureTexts TextsOf(Failure failure)
    {
        switch (failure)
        {
        case Failure::SecondInstance:
            return {BoxTitle, InstanceBox, "Only one instance of LauncherUpdater can work. Aborting application."};
        case Failure::BrokenInstanceLock:
            // The player sees the usual box; the log says what is broken, as it fails every run until removed.
            return {BoxTitle, InstanceBox, "Unable to create mutex {path}. Aborting application. Err: {error}"};
        case Failure::LauncherStillRunning:
            // The program's name as title, without spaces, unlike every other box: this is how this box
            // has always looked to players and support, and it stays so on purpose.
            return {"QORLauncherUpdater",
                    "Error: Unable to start QORLauncherUpdater while QORLauncher is already running. "
                    "Aborting application.",
                    "Unable to start QORLauncherUpdater while QORLauncher is already running. Aborting application."};
        case Failure::LaunchFailed:
            // {error}: the launch's error text, appended without a space.
            return {BoxTitle, "Error: Unable to launch QORLauncher.exe.{error}",
                    "Unable to launch QORLauncher.exe.{error}"};
        case Failure::LaunchIncomplete:
            return {BoxTitle, "Error: Unable to launch QORLauncher.exe.", "Unable to launch QORLauncher.exe."};
        case Failure::FolderNotCreated:
            return {BoxTitle, CopyFailedBox,
                    "Unable to create directory. Aborting application. Director:{path}. Err: {error}"};
        case Failure::FileNotCopied:
            return {BoxTitle, CopyFailedBox,
                    "Unable to copy update files. Aborting application. File:{path}. Err: {error}"};
        case Failure::StagingNotRemoved:
            return {BoxTitle, "Error: Unable to remove update files. Please delete {path} manually.", nullptr};
        case Failure::Unexpected:
            break;
        }
        // Shown like a failed update, so the player knows it did not happen.
        return {BoxTitle, CopyFailedBox, "Unable to copy update files. Aborting application. Err: {error}"};
    }

    // One occurrence of a failure, with what its texts name.
    struct FailureReport
    {
        FailureReport(Failure which, std::string shownPath = {}, std::string errorText = {})
            : failure(which), path(std::move(shownPath)), error(std::move(errorText))
        {
        }

        Failure failure;
        std::string path;
        std::string error;
    };
}
