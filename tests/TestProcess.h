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
    class TestProcess
    {
    public:
        // Starts `program` with `arguments` in `workingDirectory`. Throws std::runtime_error on failure.
        TestProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const std::filesystem::path& workingDirectory);
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

    // Child processes must never wait on a message box: no display for them.
    void UseNoDisplay();
}
