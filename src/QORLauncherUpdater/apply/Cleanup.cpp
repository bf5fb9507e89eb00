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
        const NativeString adopted = layout.Adopted(plan.GetTag());
        if (const std::error_code error = RemoveTree(fileSystem, adopted))
        {
            notes.push_back({RecoveryNote::Kind::WorkingFileKept, adopted, error});
        }
        if (notes.size() != kept)
        {
            return false; // the record stays, so the next run knows what is left
        }
        if (const std::error_code error = journal.Remove())
        {
            notes.push_back({RecoveryNote::Kind::WorkingFileKept, layout.WorkFolder(plan.GetTag()), error});
            return false;
        }
        return true;
    }
}
