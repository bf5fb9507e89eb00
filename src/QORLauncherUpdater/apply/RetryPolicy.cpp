#include "apply/RetryPolicy.h"

#include <algorithm>
#include <thread>

namespace QOR::Update
{
    RetryPolicy::RetryPolicy(FileSystem& fileSystem, std::chrono::milliseconds budget, Sleep sleep)
        : _fileSystem(fileSystem), _left(budget), _sleep(sleep)
    {
    }

    void RetryPolicy::SleepFor(std::chrono::milliseconds pause)
    {
        std::this_thread::sleep_for(pause);
    }

    bool RetryPolicy::WaitBeforeRetry(const std::error_code& error, const NativeString& path)
    {
        if (_left <= std::chrono::milliseconds::zero() || !_fileSystem.IsHeldByAnother(error, path))
        {
            return false;
        }
        const std::chrono::milliseconds pause = std::min(_pause, _left);
        _sleep(pause);
        _left -= pause;
        _pause = std::min(_pause * 2, LongestPause);
        return true;
    }
}
