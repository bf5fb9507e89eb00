#pragma once

// The plan of an update: one walk of the staging folder, every decision made before anything changes.
//
// Rules, in the order they apply to each staged entry:
// - folders are walked, never planned for their own sake (an empty staged folder leaves no trace);
//   folder links are never entered; FIFOs, sockets and devices are not part of an installation;
// - a file named like the updater is never installed, at any depth (exact, case-sensitive), nor is any
//   staged name whose place is the running updater's own file (a case variant, a short name, a link);
// - a staged link is installed as the same link where the system has them, else its content under its
//   own name, and must stay inside the staged tree and out of the staging folder;
// - two staged names that the installation takes for one, a file whose place is an installed folder or
//   the updater's own log, a name that is a short (8.3) name of another installed entry, and an entry
//   that would land in the staging folder are refused: the update fails before any change
//   (StagedNames.h);
// - a read-only installed file is replaced, and the plan says so, so that an undo can make it read-only
//   again (EntrySteps.h);
// - missing folders are planned, parents first; a staged folder whose place is free moves in whole, in
//   one step, when everything in it would be installed anyway and it stays on its file system.

#include "apply/ApplyError.h"
#include "apply/Layout.h"
#include "apply/Plan.h"
#include "apply/RetryPolicy.h"

#include <memory>
#include <optional>
#include <vector>

namespace QOR::Update
{
    struct PlannerSettings
    {
        NativeString updaterName;        // the updater's own file name
        std::optional<FileId> updaterId; // the running updater's file, where it can be told
        NativeString logPath;            // the updater's own log, relative; empty when there is none
    };

    class Planner
    {
    public:
        Planner(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, PlannerSettings settings);
        ~Planner();

        [[nodiscard]] ApplyResult Run(UpdatePlan& plan);

        // One folder on each file system that receives an entry, to flush it once before the commit.
        const std::vector<NativeString>& FlushFolders() const;

    private:
        class Walker;
        std::unique_ptr<Walker> _walker;
    };
}
