#pragma once

// Temporary folders and installations for the tests: a fresh folder per test, helpers to write and read
// files, and snapshots that tell whether a tree changed at all.

#include <qor/Utility/LauncherProtocol.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace QOR::Testing
{
    namespace fs = std::filesystem;

    inline void WriteFile(const fs::path& path, const std::string& content)
    {
        if (path.has_parent_path())
            fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }

    // Written under another name and renamed, so that another process never reads half of it.
    inline void WriteFileAtomically(const fs::path& path, const std::string& content)
    {
        fs::path temporary = path;
        temporary += ".tmp";
        WriteFile(temporary, content);
        fs::rename(temporary, path);
    }

    // The whole file in one read, so that large files compared many times stay cheap even in sanitizer
    // builds; empty when it is no regular file or cannot be read.
    inline std::string ReadFile(const fs::path& path)
    {
        std::error_code error;
        if (!fs::is_regular_file(path, error))
            return {};
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        const std::streamoff size = in.tellg();
        if (size < 0)
            return {};
        std::string content(static_cast<std::size_t>(size), '\0');
        in.seekg(0);
        in.read(content.data(), size);
        return in ? content : std::string();
    }

    // Every entry below root, relative and with '/' separators, sorted.
    inline std::vector<std::string> ListTree(const fs::path& root)
    {
        std::vector<std::string> entries;
        std::error_code error;
        for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
            entries.push_back(it->path().lexically_relative(root).generic_string());
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    // A path that the test's own file calls can use beyond 260 characters: the "\\?\" form on Windows.
    inline fs::path LongForm(const fs::path& absolute)
    {
        if constexpr (fs::path::preferred_separator == '\\')
            return fs::path(L"\\\\?\\" + absolute.lexically_normal().make_preferred().wstring());
        else
            return absolute;
    }

    // A uniquely named folder under the system's temporary folder, removed again at the end.
    class TemporaryFolder
    {
    public:
        TemporaryFolder()
        {
            std::random_device random;
            const fs::path base = fs::temp_directory_path();
            do
            {
                _path = base / ("qor-test-" + std::to_string(random()) + std::to_string(random()));
            } while (!fs::create_directory(_path));
            _path = fs::canonical(_path);
        }
        TemporaryFolder(const TemporaryFolder&) = delete;
        TemporaryFolder& operator=(const TemporaryFolder&) = delete;
        ~TemporaryFolder()
        {
            std::error_code error;
            fs::permissions(_path, fs::perms::owner_all, fs::perm_options::add, error);
            fs::remove_all(_path, error);
        }
        const fs::path& Path() const { return _path; }

    private:
        fs::path _path;
    };

    // A temporary installation folder and the places in it.
    class TemporaryInstallation
    {
    public:
        const fs::path& Dir() const { return _folder.Path(); }
        fs::path Installed(const fs::path& relative) const { return Dir() / relative; }
        fs::path Staging() const { return Dir() / LauncherProtocol::StagingFolderName; }
        fs::path Staged(const fs::path& relative) const { return Staging() / relative; }

    private:
        TemporaryFolder _folder;
    };

    // Makes a folder the current directory for the lifetime of the object.
    class CurrentDirectory
    {
    public:
        explicit CurrentDirectory(const fs::path& path) : _previous(fs::current_path()) { fs::current_path(path); }
        CurrentDirectory(const CurrentDirectory&) = delete;
        CurrentDirectory& operator=(const CurrentDirectory&) = delete;
        ~CurrentDirectory()
        {
            std::error_code error;
            fs::current_path(_previous, error);
        }

    private:
        fs::path _previous;
    };

    // The update's own working files (working folder, backups, copies in progress) left anywhere below
    // root: each carries ".qor-" and a 16-digit tag at the start of its name.
    inline std::vector<std::string> LeftoverTemporaries(const fs::path& root)
    {
        std::vector<std::string> found;
        for (const std::string& entry : ListTree(root))
        {
            const std::string name = entry.substr(entry.find_last_of('/') + 1);
            if (name.size() >= 21 && name.compare(0, 5, ".qor-") == 0 &&
                name.find_first_not_of("0123456789abcdef", 5) >= 21)
                found.push_back(entry);
        }
        return found;
    }

    // The launcher's rule for an interrupted run: start the updater while ./self_update exists or a working
    // folder holds one of the updater's records.
    inline bool IsUpdatePending(const fs::path& installation)
    {
        std::error_code error;
        if (fs::exists(fs::symlink_status(installation / LauncherProtocol::StagingFolderName, error)))
            return true;
        for (fs::directory_iterator it(installation, error), end; !error && it != end; it.increment(error))
        {
            const std::string name = it->path().filename().string();
            if (name.size() != 21 || name.compare(0, 5, ".qor-") != 0 ||
                name.find_first_not_of("0123456789abcdef", 5) != std::string::npos)
                continue;
            for (const char* record : LauncherProtocol::RunRecordNames)
            {
                if (fs::is_regular_file(it->path() / record, error))
                    return true;
            }
        }
        return false;
    }

    // Everything a player could notice of a tree: each entry's kind, permissions, and content or link
    // text. Two equal snapshots mean the tree is byte for byte as it was.
    inline std::map<std::string, std::string> Snapshot(const fs::path& root)
    {
        std::map<std::string, std::string> entries;
        std::error_code error;
        for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
        {
            const fs::file_status status = it->symlink_status();
            std::string description = std::to_string(static_cast<int>(status.type())) + " " +
                                      std::to_string(static_cast<unsigned>(status.permissions())) + " ";
            if (fs::is_symlink(status))
                description += fs::read_symlink(it->path()).string();
            else if (fs::is_regular_file(status))
                description += ReadFile(it->path());
            entries[it->path().lexically_relative(root).generic_string()] = description;
        }
        return entries;
    }

    // The entries in which two snapshots differ, for failure messages.
    inline std::string SnapshotDifference(const std::map<std::string, std::string>& actual,
                                          const std::map<std::string, std::string>& expected)
    {
        std::string text;
        for (const auto& [path, description] : actual)
        {
            const auto found = expected.find(path);
            if (found == expected.end() || found->second != description)
                text += "\n  " + path + (found == expected.end() ? " (unexpected)" : " (changed): " + description);
        }
        for (const auto& [path, description] : expected)
        {
            if (actual.count(path) == 0)
                text += "\n  " + path + " (missing)";
        }
        return text;
    }
}
