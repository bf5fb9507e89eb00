// A second process for the tests of named mutexes and process launch.
//   hold <name> <dir>    takes the mutex, writes <dir>/ready ("ok <pid>" or "error <text>") and keeps
//                        it until <dir>/release appears (at most 60 s)
//   try <name> <dir>     tries to take the mutex, writes <dir>/ready the same way and ends
//   report <file>        writes what it inherited (Linux), then ends
//   pid <file>           writes its process id and ends at once
#include "TestProcess.h"
#include "TestTree.h"
#include "qor/Utility/Utility.h"

#include <string>

int main(int argc, char** argv)
{
    using namespace QOR;
    using namespace QOR::Testing;
    if (argc < 3)
        return 2;
    const std::string mode = argv[1];
    const std::string pid = std::to_string(CurrentProcessId());

    if (mode == "report")
        return WriteProcessReport(argv[2]) ? 0 : 3;
    if (mode == "pid")
    {
        WriteFileAtomically(argv[2], pid);
        return 0;
    }
    if ((mode == "hold" || mode == "try") && argc >= 4)
    {
        const std::filesystem::path dir = argv[3];
        MutexResult mutex = CreateNamedMutex(argv[2]);
        WriteFileAtomically(dir / "ready", mutex.error ? "error " + mutex.error.GetText() : "ok " + pid);
        if (mode == "hold" && !mutex.error)
            WaitForFile(dir / "release", std::chrono::seconds(60));
        return 0;
    }
    return 2;
}
