#pragma once

// Helpers for the tests that need a second process: the helper program's location, unique names,
// files as signals between the processes, and bounded waits.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace QOR::Test
{
    // The helper program built next to the test program.
    std::string HelperPath();
    std::uint32_t CurrentProcessId();
    // Ends the process at once, the way a crash would (SIGKILL / TerminateProcess).
    bool KillProcess(std::uint32_t pid);

    // A mutex name no other run or test uses at the same time.
    std::string UniqueName(const std::string& prefix);
    // Linux: removes the lock file a test's mutex left behind (the product never does). Else nothing.
    void RemoveLockFile(const std::string& name);
    // A fresh, empty folder for one test.
    std::filesystem::path MakeTempDir();

    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds timeout);
    std::string ReadText(const std::filesystem::path& path);
    // Written under another name and renamed, so the reader never sees half of it.
    void WriteTextAtomically(const std::filesystem::path& path, const std::string& text);
    // "\"<text>\"" for an argument string.
    std::string Quoted(const std::string& text);

    // Linux only: writes what a launched program inherited (session, descriptors, signals, working
    // folder, environment) to `path`. Returns false where there is nothing to report.
    bool WriteProcessReport(const std::string& path);
}
