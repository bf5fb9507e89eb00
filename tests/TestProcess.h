#pragma once

// Starts the real executables for the end-to-end tests and watches them, with every wait bounded.

#include <chrono>
#include <filesystem>
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

    // Child processes must never wait on a message box: no display for them.
    void UseNoDisplay();
}
