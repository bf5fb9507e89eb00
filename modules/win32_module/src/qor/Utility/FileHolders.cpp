#include "qor/Utility/FileHolders.h"

#include "FileHoldersDetail.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <utility>

namespace QOR
{
    std::string DescribeFileHolders(const std::filesystem::path& path, std::chrono::milliseconds timeout) noexcept
    {
        try
        {
            if (!Detail::CanQueryFileHolders())
                return {};
            return Detail::FormatFileHolders(
                Detail::QueryWithin([path] { return Detail::QueryFileHolders(path); }, timeout));
        }
        catch (...)
        {
            return {};
        }
    }
}

namespace QOR::Detail
{
    std::string FormatFileHolders(const std::vector<FileHolder>& holders)
    {
        std::string text;
        std::unordered_set<std::uint32_t> seen;
        std::size_t listed = 0;
        std::size_t more = 0;
        for (const FileHolder& holder : holders)
        {
            if (!seen.insert(holder.processId).second)
                continue;
            if (listed == MaxListedFileHolders)
            {
                ++more;
                continue;
            }
            if (listed > 0)
                text += ", ";
            ++listed;
            const std::string pid = "pid " + std::to_string(holder.processId);
            text += holder.name.empty() ? pid : holder.name + " (" + pid + ")";
        }
        if (more > 0)
            text += ", and " + std::to_string(more) + " more";
        return text;
    }

    std::vector<FileHolder> QueryWithin(std::function<std::vector<FileHolder>()> query,
                                        std::chrono::milliseconds timeout) noexcept
    {
        // Shared with the thread, which may outlive this call.
        struct Outcome
        {
            std::mutex mutex;
            std::condition_variable finished;
            bool bIsFinished = false;
            std::vector<FileHolder> holders;
        };
        try
        {
            const auto outcome = std::make_shared<Outcome>();
            std::thread([outcome, query = std::move(query)] {
                std::vector<FileHolder> holders;
                try
                {
                    holders = query();
                }
                catch (...)
                {
                    // A failed query names nobody.
                }
                const std::lock_guard<std::mutex> lock(outcome->mutex);
                outcome->holders = std::move(holders);
                outcome->bIsFinished = true;
                outcome->finished.notify_one();
            }).detach();

            std::unique_lock<std::mutex> lock(outcome->mutex);
            if (!outcome->finished.wait_for(lock, timeout, [&outcome] { return outcome->bIsFinished; }))
                return {};
            return std::move(outcome->holders);
        }
        catch (...)
        {
            return {};
        }
    }
}
