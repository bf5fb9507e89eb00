#pragma once

// Runs the apply as the program does, on the real file system of the current directory, for the tests
// that drive it directly.

#include <Report.h>
#include <UpdateFiles.h>

#include <string>

namespace QOR::Testing
{
    // Applies ./self_update; then, as the program does after the relaunch, cleans up. Returns the log
    // text of the failure, empty when it succeeded.
    inline std::string ApplyStaged()
    {
        Update::UpdateRun run(Update::SystemFileSystem(), SystemApplySettings());
        const Update::ApplyResult failed = run.Apply();
        const std::string text =
            failed ? LogText(DescribeFailure(*failed, run.GetNotes(), Update::SystemFileSystem())) : std::string();
        if (!failed && run.IsStagingLeft())
        {
            (void)Update::RemoveTree(Update::SystemFileSystem(), Update::FromAscii(LauncherProtocol::StagingFolder));
        }
        (void)run.CleanUp();
        return text;
    }
}
