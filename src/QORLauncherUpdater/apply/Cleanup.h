#pragma once

// The clean-up of finished runs, apart from the runs themselves: what a committed or abandoned record
// leaves (the replaced files kept beside their targets, the taken-over staging folder with the old
// files an exchange put there) is removed, then the record, then its folder. It runs after the launcher
// is started, while no lock but the record's own is held, so it may take its time at idle disk priority;
// what it cannot remove stays with its record for the next run. Only what the file system can never
// remove (a Linux symbolic link in the staging folder, under Wine) stays without the record, in the
// working folder, which is then nobody's: no later run is started for it.

#include "apply/ApplyError.h"
#include "apply/Journal.h"
#include "apply/Layout.h"
#include "apply/RetryPolicy.h"

namespace QOR::Update
{
    // `journal` must be committed or abandoned. Returns whether everything is gone.
    bool DiscardRun(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, Journal& journal, Notes& notes);
}
