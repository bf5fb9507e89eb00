#pragma once

// Where everything of an update lies, as paths the file system takes: the installation, the staging
// folder the launcher fills, and the working folder and files of one run (see JournalFormat.h for the
// picture).

#include "apply/JournalFormat.h"
#include "apply/Plan.h"

namespace QOR::Update
{
    class Layout
    {
    public:
        // `root`: the installation folder as the file system names it.
        explicit Layout(NativeString root);

        const NativeString& Root() const { return _root; }
        // ./self_update, where the launcher stages an update.
        const NativeString& Staging() const { return _staging; }
        NativeString Staged(NativeView relative) const { return Join(_staging, relative); }
        NativeString Installed(NativeView relative) const { return Join(_root, relative); }

        NativeString WorkFolder(std::uint64_t tag) const;
        NativeString Record(std::uint64_t tag, const char* recordName) const;
        // The staging folder once the run has taken it over, and an entry in it.
        NativeString Adopted(std::uint64_t tag) const;
        NativeString Adopted(std::uint64_t tag, NativeView relative) const { return Join(Adopted(tag), relative); }
        // A working file of entry `index` beside the entry's target.
        NativeString Beside(const UpdatePlan& plan, std::size_t index, char role) const;

    private:
        static NativeString Join(NativeView folder, NativeView name);

        NativeString _root;
        NativeString _staging;
    };
}
