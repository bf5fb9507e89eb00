#pragma once

// Temporary installations for the tests: a fresh folder per test, helpers to write and read files.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace QOR::Testing
{
    namespace fs = std::filesystem;

    inline void WriteFile(const fs::path& path, const std::string& content)
    {
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }

    inline std::string ReadFile(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Every entry below root, relative and with '/' separators, sorted.
    inline std::vector<std::string> ListTree(const fs::path& root)
    {
        std::vector<std::string> entries;
        std::error_code error;
        for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
        {
            entries.push_back(it->path().lexically_relative(root).generic_string());
        }
        std::sort(entries.begin(), entries.end());
        return entries;
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

    // Temporary files of the atomic replace that were left anywhere below root.
    inline std::vector<std::string> LeftoverTemporaries(const fs::path& root)
    {
        std::vector<std::string> found;
        for (const std::string& entry : ListTree(root))
        {
            if (entry.size() > 8 && entry.compare(entry.size() - 8, 8, ".qor-tmp") == 0)
            {
                found.push_back(entry);
            }
        }
        return found;
    }
}
