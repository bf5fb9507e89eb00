#include "TestProcess.h"

#include <atomic>
#include <random>
#include <thread>

namespace QOR::Testing
{
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition())
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds timeout)
    {
        return WaitUntil([&] { return std::filesystem::exists(path); }, timeout);
    }

    std::string UniqueName(const std::string& prefix)
    {
        static std::atomic<unsigned> counter{0};
        std::random_device device;
        return prefix + "_" + std::to_string(CurrentProcessId()) + "_" + std::to_string(counter++) + "_" +
               std::to_string(device() % 1000000u);
    }
}
