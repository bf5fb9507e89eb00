#pragma once

// Child processes for the tests: the real executables and tools started and watched with every wait
// bounded, the module tests' helper program, files held against the updater, and bounded waits.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace QOR::Testing
{
    // How one standard stream of a started program is set up.
    struct Stream
    {
        enum class Kind
        {
            Usual,      // POSIX: the test's own; Windows: NUL
            Closed,     // no descriptor at all (Windows: no handle)
            ReaderGone, // a pipe whose reading end was closed before the start: a reader that has exited
            File,       // written to `file`, created or emptied first
        };
        Kind kind = Kind::Usual;
        std::filesystem::path file;
    };

    struct StandardStreams
    {
        Stream input;
        Stream output;
        Stream error;
    };

    class TestProcess
    {
    public:
        // Starts `program` with `arguments` in `workingDirectory`. Throws std::runtime_error on failure.
        // On POSIX the program starts with SIGPIPE at its default, as from a launcher on a real machine.
        TestProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const std::filesystem::path& workingDirectory, const StandardStreams& streams = {});
        TestProcess(TestProcess&&) noexcept;
        TestProcess& operator=(TestProcess&&) noexcept;
        // Kills the process if it still runs, so no test leaves one behind.
        ~TestProcess();

        // The exit code, or nothing when the process still runs after `timeout`.
        std::optional<int> Wait(std::chrono::milliseconds timeout);
        // Ends the process at once (SIGKILL / TerminateProcess) and reaps it.
        void Kill();

        struct Native;

    private:
        std::unique_ptr<Native> _native;
    };

    // Asks `condition` until it holds; false when it still does not after `timeout`.
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds timeout);

    std::uint32_t CurrentProcessId();
    // Ends a process the test did not start itself at once, the way a crash would.
    bool KillProcess(std::uint32_t pid);
    // A name (of a mutex, say) that no other run or test uses at the same time.
    std::string UniqueName(const std::string& prefix);
    // Linux: removes the lock file a test's mutex left behind (the product never does). Else nothing.
    void RemoveLockFile(const std::string& name);

    // The win32 module's helper program, built next to the running test program.
    std::string HelperPath();
    // `text` in quotation marks, as one argument of a command line.
    template<class Text>
    Text Quoted(const Text& text)
    {
        return Text(1, '"') + text + Text(1, '"');
    }
    // Linux only: writes what a launched program inherited (session, descriptors, signals, working
    // folder, environment) to `path`. Returns false where there is nothing to report.
    bool WriteProcessReport(const std::string& path);

    // Holds a file open the way another program might: on Windows without any sharing, so it can be
    // neither replaced nor deleted. Returns nothing where the system has no such lock.
    class HeldFile
    {
    public:
        virtual ~HeldFile() = default;
    };
    std::unique_ptr<HeldFile> HoldFileWithoutSharing(const std::filesystem::path& path);

    // Makes the removal of `file` fail while the result lives: on Windows by holding it open without
    // sharing, elsewhere by write-protecting its folder (for a superuser: the immutable flag). Nothing
    // when the system offers no way.
    std::unique_ptr<HeldFile> PreventRemoval(const std::filesystem::path& file);

    // Makes a rename over `file` fail while the result lives: on Windows by holding it open without
    // sharing (the updater then waits out its retries for a held file, about 15 seconds), elsewhere at
    // once, as PreventRemoval does.
    std::unique_ptr<HeldFile> RefuseReplacement(const std::filesystem::path& file);
    inline constexpr bool RefusalIsImmediate = std::filesystem::path::preferred_separator == '/';

    // Makes `folder` refuse new entries while the result lives: by write-protecting it (for a superuser:
    // the immutable flag). Nothing where the system offers no way (under Wine, which has no ACLs).
    std::unique_ptr<HeldFile> MakeFolderUnwritable(const std::filesystem::path& folder);

    // Runs a shell command of the Linux system in `folder` (ASCII, no double quotes or backslashes): on Linux
    // directly; under Wine by starting /bin/sh, which Wine runs as a Linux program, to make what Windows
    // calls cannot (symbolic links, names that differ only in case). False where there is no such system
    // (Windows itself); throws when the command fails or does not end.
    bool RunLinuxShell(const std::filesystem::path& folder, const std::string& command);

    // Child processes must never wait on a message box: no display for them.
    void UseNoDisplay();
}
