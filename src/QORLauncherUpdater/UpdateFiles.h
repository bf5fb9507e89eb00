#pragma once

// Applies the staged update tree "./self_update" to the installation (the current directory)
// and removes the staging tree afterwards.

#include <filesystem>
#include <string>
#include <system_error>

namespace QOR
{
    class Logger;

    // Walks the staging tree and copies every eligible file over the installation. Returns true when
    // every file was copied; after the first failure it reports it (box, then log line) and returns false.
    bool CopyUpdateFiles(Logger* logger);

    // Deletes the staging tree. A failure is shown in a box and not passed on.
    void RemoveUpdateFiles();

    namespace Update
    {
        inline constexpr const char* StagingRoot = "./self_update";
        inline constexpr const char* UpdaterFileName = "QORLauncherUpdater.exe";
        inline constexpr const char* BoxTitle = "QOR Launcher Updater";
        inline constexpr const char* LogCategory = "QOR::LauncherUpdater";
        inline constexpr const char* CopyFailedBoxText = "Error: Unable to copy update files. Aborting application.";

        // Outcome of the copy without any reporting; logText is the line to log when copied is false.
        struct TreeCopyResult
        {
            bool copied = false;
            std::string logText;
        };

        // The copy itself, working on the current directory. Never throws.
        TreeCopyResult CopyUpdateTree();

        // The removal itself. Returns the box text of the failure, empty on success. Never throws.
        std::string RemoveUpdateTree();

        // UTF-8 text of a path for boxes and log lines. Bytes or code units that are not valid text
        // become U+FFFD, so a strange file name can never stop the message box.
        std::string PathText(const std::filesystem::path& path);

        // Replaces invalid UTF-8 sequences by U+FFFD.
        std::string SanitizeUtf8(std::string_view text);

        // Name of the temporary file written beside a target before it is renamed over it.
        std::filesystem::path TemporaryPathFor(const std::filesystem::path& target);

        // Platform backends (UpdateFiles_win32.cpp / UpdateFiles_posix.cpp).
        namespace Platform
        {
            // Copies source to a new temporary file, keeping the source's permissions. The data is durable
            // after the next FlushToDisk (Windows flushes each file here).
            std::error_code WriteTemporary(const std::filesystem::path& source, const std::filesystem::path& temporary);

            // Renames the temporary file over target in one step. Fails, leaving target whole, while another
            // process holds target open without delete sharing.
            std::error_code CommitTemporary(const std::filesystem::path& temporary, const std::filesystem::path& target);

            // Deletes a temporary file, if there is one.
            void DiscardTemporary(const std::filesystem::path& temporary);

            // Makes everything written under the directory durable (one flush of its file system).
            std::error_code FlushToDisk(const std::filesystem::path& directory);

            // Removes a tree without ever following a link or junction out of it. A missing path is no error.
            std::error_code RemoveTree(const std::filesystem::path& path);

            // The path with every link resolved, as the system sees the opened file or directory.
            std::filesystem::path FinalPath(const std::filesystem::path& path, std::error_code& error);

            // True for symbolic links and other reparse points (junctions).
            bool IsLink(const std::filesystem::path& path);

            // The entry vanished or its name cannot exist: treated as "not a regular file".
            bool IsMissingEntryError(const std::error_code& error);

            // Whether two single path elements name the same entry (case-insensitive on Windows).
            bool SameElement(const std::filesystem::path& left, const std::filesystem::path& right);

            // The system's message text for an error.
            std::string ErrorText(const std::error_code& error);
        }
    }
}
