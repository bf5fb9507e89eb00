#include "qor/Utility/Utility.h"

#include "../Foundation/FoundationDetail.h"
#include "UtilityDetail.h"
#include "qor/Foundation/Assert.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>

namespace QOR
{
    struct SharedHandle::Owner
    {
        Native handle;
        std::function<void(Native)> release;

        Owner(Native h, std::function<void(Native)> r) : handle(h), release(std::move(r)) {}
        Owner(const Owner&) = delete;
        Owner& operator=(const Owner&) = delete;

        ~Owner()
        {
            if (!release)
                return;
            try
            {
                release(handle);
            }
            catch (...)
            {
                // A release action must not take the program down from a destructor.
            }
        }
    };

    SharedHandle::SharedHandle(Native handle, std::function<void(Native)> release)
    {
        if (handle == EmptyValue)
            return;
        try
        {
            _owner = std::make_shared<Owner>(handle, std::move(release));
        }
        catch (...)
        {
            // Out of memory: the handle must not leak, and nothing here throws.
            try
            {
                if (release)
                    release(handle);
            }
            catch (...)
            {
            }
        }
    }

    SharedHandle::operator bool() const noexcept
    {
        return _owner != nullptr;
    }

    SharedHandle::Native SharedHandle::Get() const noexcept
    {
        return _owner ? _owner->handle : EmptyValue;
    }

    long SharedHandle::UseCount() const noexcept
    {
        return _owner.use_count();
    }

    void SharedHandle::Reset() noexcept
    {
        _owner.reset();
    }

    void ShowErrorMessageBox(const std::string& message, const std::string& title)
    {
        const Detail::NoticeTexts wide = Detail::ConvertNoticeTexts(message, title, Detail::NativeTextConverter());
        Detail::ShowNativeNotice(message, title, wide);
    }
}

namespace QOR::Detail
{
    namespace
    {
        // The system code in unsigned decimal, as the system's own tools print it.
        std::string CodeText(const std::error_code& cause)
        {
            return std::to_string(static_cast<std::uint32_t>(cause.value()));
        }

        bool IsConversionError(const std::error_code& cause) noexcept
        {
            return cause.category() == TextConversionCategory();
        }
    }

    Win32Error LaunchError(const std::error_code& cause)
    {
        if (IsConversionError(cause))
            return Win32Error(cause.message());
        return Win32Error("Unable to create process. WinAPI Error: " + CodeText(cause));
    }

    Win32Error ReleaseError(const std::error_code& cause)
    {
        return Win32Error("Unable to release Mutex. Win32API error code: " + CodeText(cause) + ".");
    }

    Win32Error MutexNameError(const std::error_code& cause)
    {
        return Win32Error(IsConversionError(cause) ? cause.message() : MutexUnableToCreate);
    }

    std::optional<std::string> BuildCommandLine(const std::string& path, const std::string& arguments)
    {
        if (path.find('"') != std::string::npos)
            return std::nullopt;
        // The program name ends at the closing quote; backslashes before it are not escapes there.
        return "\"" + path + "\" " + arguments;
    }

    std::vector<std::string> SplitCommandLineArguments(const std::string& arguments)
    {
        std::vector<std::string> words;
        std::string word;
        bool inWord = false;
        bool inQuotes = false;
        std::size_t i = 0;
        const std::size_t size = arguments.size();
        while (i < size)
        {
            const char c = arguments[i];
            if ((c == ' ' || c == '\t') && !inQuotes)
            {
                if (inWord)
                {
                    words.push_back(std::move(word));
                    word.clear();
                    inWord = false;
                }
                ++i;
                continue;
            }
            inWord = true;
            if (c == '\\')
            {
                std::size_t backslashes = 0;
                while (i < size && arguments[i] == '\\')
                {
                    ++backslashes;
                    ++i;
                }
                if (i < size && arguments[i] == '"')
                {
                    // 2n backslashes and a quote: n backslashes, the quote delimits;
                    // 2n+1: n backslashes and a literal quote.
                    word.append(backslashes / 2, '\\');
                    if (backslashes % 2 == 1)
                    {
                        word.push_back('"');
                        ++i;
                    }
                }
                else
                {
                    word.append(backslashes, '\\');
                }
                continue;
            }
            if (c == '"')
            {
                if (inQuotes && i + 1 < size && arguments[i + 1] == '"')
                {
                    // "" inside quotes is a literal quote.
                    word.push_back('"');
                    i += 2;
                    continue;
                }
                inQuotes = !inQuotes;
                ++i;
                continue;
            }
            word.push_back(c);
            ++i;
        }
        if (inWord)
            words.push_back(std::move(word));
        return words;
    }

    std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::milliseconds timeout)
    {
        constexpr std::chrono::milliseconds longest = std::chrono::hours(24 * 365);
        return std::chrono::steady_clock::now() + std::clamp(timeout, std::chrono::milliseconds::zero(), longest);
    }

    std::error_code RetryStillbornStart(const std::function<std::error_code()>& start, const std::error_code& stillborn,
                                        int attempts)
    {
        std::error_code error = start();
        for (int attempt = 1; attempt < attempts && error && error == stillborn; ++attempt)
            error = start();
        return error;
    }

    bool ProbeUntilFree(const std::function<bool()>& isTaken, std::chrono::steady_clock::time_point deadline,
                        std::chrono::milliseconds pause)
    {
        for (;;)
        {
            const auto asked = std::chrono::steady_clock::now();
            if (!isTaken())
                return true;
            if (asked >= deadline)
                return false;
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left > std::chrono::steady_clock::duration::zero())
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, left));
        }
    }

    std::optional<std::string> LockFilePath(const std::string& name)
    {
        // One file directly in /tmp: no separators, no zero byte that would cut the path short, and
        // not empty.
        if (name.empty() || name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
            return std::nullopt;
        return "/tmp/" + name + ".lock";
    }

    std::string FormatNoticeForConsole(const std::string& message, const std::string& title)
    {
        return title + ": " + message + "\n";
    }

    std::string EscapeForRichText(const std::string& text)
    {
        std::string escaped = "<qt>";
        for (const char c : text)
        {
            switch (c)
            {
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '&':
                escaped += "&amp;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\n':
                escaped += "<br/>";
                break;
            default:
                escaped.push_back(c);
            }
        }
        escaped += "</qt>";
        return escaped;
    }

    std::vector<std::vector<std::string>> NoticeDialogCommands(const std::string& message, const std::string& title)
    {
        return {
            // The "=" forms keep a text that starts with '-' from being read as an option.
            {"zenity", "--warning", "--no-markup", "--title=" + title, "--text=" + message},
            // kdialog has no switch for plain text, so the text goes as escaped rich text.
            {"kdialog", "--title=" + title, "--sorry=" + EscapeForRichText(message)},
        };
    }

    NoticeTexts ConvertNoticeTexts(const std::string& message, const std::string& title, SystemTextConverter& system)
    {
        NoticeTexts wide;
        const std::error_code errConversionMessage = Utf8ToWideWith(message, system, wide.message);
        QOR_ASSERT(!errConversionMessage);
        const std::error_code errConversionTitle = Utf8ToWideWith(title, system, wide.title);
        QOR_ASSERT(!errConversionTitle);
        return wide;
    }
}
