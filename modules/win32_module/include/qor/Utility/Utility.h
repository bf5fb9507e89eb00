#pragma once

// Process launch, system-wide named mutexes and the error notice. Nothing here throws: every
// failure comes back in the Win32Error of the result.

#include "qor/Foundation/Foundation.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace QOR
{
    // Shared, reference-counted owner of one system handle (a HANDLE on Windows, a file descriptor
    // elsewhere). Copies share it; the release action runs once, when the last copy goes away.
    class SharedHandle
    {
    public:
        using Native = std::intptr_t;

        // What Get() gives for an empty owner: NULL on Windows, -1 (never a valid descriptor) elsewhere.
#ifdef _WIN32
        static constexpr Native EmptyValue = 0;
#else
        static constexpr Native EmptyValue = -1;
#endif

        SharedHandle() = default;
        // Takes ownership of `handle`. EmptyValue gives an empty owner whose release never runs.
        SharedHandle(Native handle, std::function<void(Native)> release);

        explicit operator bool() const noexcept;
        Native Get() const noexcept;
        long UseCount() const noexcept;
        // Drops this copy; the release action runs if it was the last one.
        void Reset() noexcept;

    private:
        struct Owner;
        std::shared_ptr<Owner> _owner;
    };

    // Handles of a started program.
    //  Windows: the primary thread and process handles from CreateProcessW.
    //  Linux: `process` is a pidfd of the child (a /proc/<pid> directory descriptor on kernels without
    //  pidfd_open). Processes there have no separate primary-thread object and the primary thread's id
    //  is the process id, so `thread` is a second descriptor of that same process, owned on its own.
    //  The child is reaped by a background thread as soon as it ends, so it never stays a zombie; its
    //  exit status is therefore not available through these handles, only the fact that it has ended
    //  (the pidfd becomes readable).
    // Dropping the handles never kills the program nor waits for it.
    struct LaunchResult
    {
        Win32Error error;
        SharedHandle thread;
        SharedHandle process;
    };

    // Starts `path` with `arguments`; never waits for it. The path is not searched for on PATH; a
    // relative path is resolved against the current directory, which the program inherits together
    // with the environment. No handle or descriptor is inherited.
    //  Windows: `creationFlags` go to CreateProcessW unchanged. With arguments, the path is quoted in
    //  the command line so that a path with blanks cannot start another program.
    //  Linux: the program runs detached, in a session of its own, with standard input, output and
    //  error on /dev/null, default signal dispositions and an empty signal mask (what
    //  DETACHED_PROCESS means there); `arguments` are split by the rules of the Windows C runtime;
    //  `creationFlags` are not used.
    // Failure: "Unable to create process. WinAPI Error: <code>" (errno on Linux; 2 for a missing file).
    LaunchResult LaunchProcess(const std::string& path, const std::string& arguments, std::uint32_t creationFlags);

    struct MutexResult
    {
        Win32Error error;
        SharedHandle mutex;
        // Why the name was not obtained, as the system put it; clear on success. The error text above
        // says "taken" for nearly every failure; this tells a name held by someone else apart from a
        // lock that is broken (see IsHeldElsewhere).
        std::error_code cause;
    };

    struct ReleaseResult
    {
        Win32Error error;
        bool released = false;
    };

    // Takes the system-wide mutex `name` (given without the "Global\" prefix) and keeps it while any
    // copy of the returned handle lives. A mutex held by anyone else, this process included, gives
    // "Already exists." (or "Access denied.").
    //  Windows: the mutex "Global\<name>", owned by the calling thread.
    //  Linux: an exclusive flock on the lock file "/tmp/<name>.lock", which the system frees when the
    //  holder ends however it ends. Names containing '/' are refused ("Unable to create mutex.").
    MutexResult CreateNamedMutex(const std::string& name);

    // True when `result` failed only because someone else (this process included) holds the name;
    // false on success and when the lock itself is broken: a lock file that is a folder, a link, a FIFO
    // or unreadable, a Windows name taken by another kind of object, a name that cannot be one.
    bool IsHeldElsewhere(const MutexResult& result) noexcept;

    // Where the system keeps the mutex `name`, for messages: "Global\<name>" on Windows, the lock file
    // "/tmp/<name>.lock" on Linux.
    std::string NamedMutexLocation(const std::string& name);

    // True when the mutex could not be obtained (another holder, or any failure); false when it was
    // free, in which case it has been let go again before returning.
    bool IsNamedMutexTaken(const std::string& name);

    // Waits until the mutex `name` is free, at most `timeout`, and says whether it is; it notices the
    // holder's end within a few milliseconds. Free means what IsNamedMutexTaken calls free: the name
    // could be taken now (it is not taken by this wait when it returns). A name that cannot be waited
    // on or probed counts as taken until the deadline.
    //  Windows: waits on "Global\<name>" itself (an abandoned mutex is free too); where it cannot be
    //  opened for waiting (access denied, say), probes it every few milliseconds instead.
    //  Linux: probes the lock file every few milliseconds; a missing file is free.
    [[nodiscard]] bool WaitForNamedMutexFree(const std::string& name, std::chrono::milliseconds timeout);

    // Gives up the ownership of a held mutex; the handle stays open until its last copy goes.
    // Failure: "Unable to release Mutex. Win32API error code: <code>."
    ReleaseResult ReleaseNamedMutex(const SharedHandle& mutex);

    // Shows `message` under `title` in a modal warning notice with one OK button and returns once the
    // user has closed it. The title and message always go to standard error as well when no notice
    // could be shown (on Linux: always, and that is the whole notice where no display is available).
    void ShowErrorMessageBox(const std::string& message, const std::string& title);
}
