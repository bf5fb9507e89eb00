#include "apply/Cleanup.h"

#include "apply/EntrySteps.h"

namespace QOR::Update
{
    bool DiscardRun(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, Journal& journal, Notes& notes)
    {
        const UpdatePlan& plan = journal.Plan();
        const std::size_t kept = notes.size();
        EntrySteps steps(fileSystem, layout, plan, retry);
        for (std::size_t i = 0; i < plan.EntryCount(); ++i)
        {
            steps.Discard(i, notes);
        }
        const bool bIsEntryLeft = notes.size() != kept;
        const NativeString adopted = layout.Adopted(plan.GetTag());
        const std::error_code error = RemoveTree(fileSystem, adopted);
        if (error)
        {
            notes.push_back({RecoveryNote::Kind::WorkingFileKept, adopted, error});
        }
        // The record stays, so the next update's run knows what is left, under a name the launcher's rule
        // does not see: this updater starts the launcher, which would start it again for ever.
        if (bIsEntryLeft || error)
        {
            if (const std::error_code kept = journal.KeepLeftovers())
            {
                notes.push_back({RecoveryNote::Kind::WorkingFileKept, journal.RecordPath(), kept});
            }
            return false;
        }
        if (const std::error_code error = journal.Remove())
        {
            notes.push_back({RecoveryNote::Kind::WorkingFileKept, layout.WorkFolder(plan.GetTag()), error});
            return false;
        }
        return true;
    }
}
