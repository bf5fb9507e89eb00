#include "TestSupport.h"

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace QOR::Test
{
    std::string UniqueName(const std::string& prefix)
    {
        static std::atomic<unsigned> counter{0};
        std::random_device device;
        return prefix + "_" + std::to_string(CurrentProcessId()) + "_" + std::to_string(counter++) + "_" +
               std::to_string(device() % 1000000u);
    }

    std::filesystem::path MakeTempDir()
    {
        const std::filesystem::path dir = std::filesystem::temp_directory_path() / UniqueName("qor_win32_test");
        std::filesystem::create_directories(dir);
        return dir;
    }

    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition())
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds timeout)
    {
        return WaitUntil([&] { return std::filesystem::exists(path); }, timeout);
    }

    std::string ReadText(const std::filesystem::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void WriteTextAtomically(const std::filesystem::path& path, const std::string& text)
    {
        std::filesystem::path temporary = path;
        temporary += ".tmp";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out << text;
        }
        std::filesystem::rename(temporary, path);
    }

    std::string Quoted(const std::string& text)
    {
        return "\"" + text + "\"";
    }
}
