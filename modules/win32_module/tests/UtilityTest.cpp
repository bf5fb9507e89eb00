#include "qor/Utility/Utility.h"

#include "../src/qor/Foundation/FoundationDetail.h"
#include "../src/qor/Utility/UtilityDetail.h"
#include "TestProcess.h"
#include "TestTree.h"
#include "qor/Utility/LauncherProtocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include "qor/Foundation/Platform_win32.h"
#endif

using namespace std::chrono_literals;
using namespace QOR::Testing;
using QOR::LauncherProtocol::DetachedLaunchFlags;
using testing::AnyOf;
using testing::Eq;
using testing::HasSubstr;

namespace
{
    // `prefix`, a system code in unsigned decimal without leading zeros, then `suffix`. (Written out
    // because GoogleTest's regular expressions on Windows know no character classes.)
    MATCHER_P2(TextWithCode, prefix, suffix, "")
    {
        const std::string text = arg;
        const std::string head = prefix;
        const std::string tail = suffix;
        if (text.size() <= head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
            text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
            return false;
        const std::string code = text.substr(head.size(), text.size() - head.size() - tail.size());
        return code[0] != '0' && code.find_first_not_of("0123456789") == std::string::npos;
    }

    constexpr auto ChildTimeout = 60s; // Wine's first start in a fresh prefix is slow

    // One helper process and the folder it signals through.
    class Helper
    {
    public:
        Helper(const std::string& mode, const std::string& name)
            : _launch(
                  QOR::LaunchProcess(HelperPath(), mode + " " + Quoted(name) + " " + Quoted(_dir.Path().string()), 0))
        {
        }
        Helper(const Helper&) = delete;
        Helper& operator=(const Helper&) = delete;
        ~Helper()
        {
            Release();
            // Give it a moment to see the release file before the folder goes.
            std::this_thread::sleep_for(100ms);
        }

        QOR::LaunchResult& Launch() { return _launch; }
        // "ok <pid>" or "error <text>"; empty when the helper never answered. Read until it reads whole: under
        // Wine the renamed file stays open for deletion in the helper for a moment after it appears, and an
        // open that does not share deletion fails then.
        std::string WaitReady()
        {
            std::string ready;
            WaitUntil([&] { return !(ready = ReadFile(_dir.Path() / "ready")).empty(); }, ChildTimeout);
            return ready;
        }
        void Release()
        {
            if (!_bIsDone)
                WriteFileAtomically(_dir.Path() / "release", "");
            _bIsDone = true;
        }

    private:
        TemporaryFolder _dir;
        QOR::LaunchResult _launch;
        bool _bIsDone = false;
    };

    class FailingConverter final : public QOR::Detail::SystemTextConverter
    {
    public:
        explicit FailingConverter(std::string failOn) : _failOn(std::move(failOn)) {}
        int Convert(std::string_view utf8, char16_t*, int) override
        {
            return utf8 == _failOn ? 0 : static_cast<int>(utf8.size());
        }
        std::uint32_t LastError() override { return 1113; }

    private:
        std::string _failOn;
    };
}

TEST(SharedHandleTest, ReleaseRunsOnceWhenTheLastCopyGoes)
{
    int releases = 0;
    QOR::SharedHandle::Native released = 0;
    {
        QOR::SharedHandle first(42, [&](QOR::SharedHandle::Native h) {
            ++releases;
            released = h;
        });
        ASSERT_TRUE(first);
        QOR::SharedHandle second = first;
        EXPECT_EQ(second.UseCount(), 2);
        first.Reset();
        EXPECT_FALSE(first);
        EXPECT_EQ(releases, 0);
        EXPECT_EQ(second.Get(), 42);
    }
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(released, 42);

    const QOR::SharedHandle empty;
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.Get(), QOR::SharedHandle::EmptyValue);
    EXPECT_EQ(empty.UseCount(), 0);

    // An owner of "no handle" is empty and never releases it.
    QOR::SharedHandle none(QOR::SharedHandle::EmptyValue, [&](QOR::SharedHandle::Native) { ++releases; });
    EXPECT_FALSE(none);
    none.Reset();
    EXPECT_EQ(releases, 1);
}

TEST(CommandLineTest, PathIsQuotedSoBlanksCannotStartAnotherProgram)
{
    EXPECT_EQ(QOR::Detail::BuildCommandLine("C:\\Program Files\\Game\\QORLauncher.exe", "-a b"),
              "\"C:\\Program Files\\Game\\QORLauncher.exe\" -a b");
    EXPECT_EQ(QOR::Detail::BuildCommandLine("a\"b.exe", "x"), std::nullopt);
}

TEST(CommandLineTest, ArgumentsSplitLikeTheWindowsRuntime)
{
    using Words = std::vector<std::string>;
    const auto split = QOR::Detail::SplitCommandLineArguments;
    EXPECT_EQ(split(""), Words{});
    EXPECT_EQ(split("  a\tb  c "), (Words{"a", "b", "c"}));
    EXPECT_EQ(split("\"a b\" c"), (Words{"a b", "c"}));
    EXPECT_EQ(split("\"\""), (Words{""}));
    EXPECT_EQ(split("a\\\\b"), (Words{"a\\\\b"}));        // backslashes alone are literal
    EXPECT_EQ(split("\"a\\\\\" b"), (Words{"a\\", "b"})); // 2n backslashes + quote: n, quote delimits
    EXPECT_EQ(split("a\\\"b"), (Words{"a\"b"}));          // 2n+1: n and a literal quote
    EXPECT_EQ(split("\"a\"\"b\""), (Words{"a\"b"}));      // "" inside quotes
    EXPECT_EQ(split("\"C:\\tmp dir\\\""), (Words{"C:\\tmp dir\""}));
    EXPECT_EQ(split("\"open"), (Words{"open"}));
}

TEST(LockFilePathTest, OnlyPlainFileNamesInTmp)
{
    const std::string launcher = QOR::LauncherProtocol::LauncherMutexName;
    EXPECT_EQ(QOR::Detail::LockFilePath(launcher), "/tmp/" + launcher + ".lock");
    EXPECT_EQ(QOR::Detail::LockFilePath("../etc/passwd"), std::nullopt);
    EXPECT_EQ(QOR::Detail::LockFilePath("a/b"), std::nullopt);
    EXPECT_EQ(QOR::Detail::LockFilePath(std::string("a\0b", 3)), std::nullopt);
    EXPECT_EQ(QOR::Detail::LockFilePath(""), std::nullopt);
}

TEST(NoticeTest, DialogTextsAreArgumentsAndNeverMarkup)
{
    const auto commands = QOR::Detail::NoticeDialogCommands("-x <b>a</b> & \"q\"\nnext", "--title");
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0], (std::vector<std::string>{"zenity", "--warning", "--no-markup", "--title=--title",
                                                     "--text=-x <b>a</b> & \"q\"\nnext"}));
    EXPECT_EQ(commands[1][0], "kdialog");
    EXPECT_EQ(commands[1].back(), "--sorry=<qt>-x &lt;b&gt;a&lt;/b&gt; &amp; &quot;q&quot;<br/>next</qt>");
    EXPECT_EQ(QOR::Detail::FormatNoticeForConsole("Unable to copy.", "Error"), "Error: Unable to copy.\n");
}

TEST(NoticeTest, EmptyTextsAreNoError)
{
    FailingConverter system("never");
    const QOR::Detail::NoticeTexts texts = QOR::Detail::ConvertNoticeTexts("", "", system);
    EXPECT_TRUE(texts.message.empty());
    EXPECT_TRUE(texts.title.empty());
}

TEST(NoticeDeathTest, UnconvertibleTextsStopTheProgram)
{
    FailingConverter badMessage("message");
    EXPECT_DEATH(QOR::Detail::ConvertNoticeTexts("message", "title", badMessage),
                 "Assertion failed: !errConversionMessage, file .*Utility\\.cpp, line ");
    FailingConverter badTitle("title");
    EXPECT_DEATH(QOR::Detail::ConvertNoticeTexts("message", "title", badTitle),
                 "Assertion failed: !errConversionTitle, file .*Utility\\.cpp, line ");
}

// Where no notice can be shown (no display here; MessageBoxW fails under Wine without one), the
// title and text still reach standard error and the call returns.
TEST(NoticeTest, WithoutDisplayTheNoticeGoesToStandardError)
{
    std::string display;
#ifndef _WIN32
    if (const char* d = std::getenv("DISPLAY"))
        display = d;
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
#endif
    testing::internal::CaptureStderr();
    QOR::ShowErrorMessageBox("Unable to copy update files. Aborting application.", "Error");
    const std::string written = testing::internal::GetCapturedStderr();
#ifndef _WIN32
    if (!display.empty())
        ::setenv("DISPLAY", display.c_str(), 1);
#endif
    EXPECT_THAT(written, HasSubstr("Error: Unable to copy update files. Aborting application.\n"));
}

TEST(LaunchProcessTest, MissingProgramGivesErrorTwoAndNoHandles)
{
    for (const std::string arguments : {"", "-x"})
    {
        const QOR::LaunchResult result =
            QOR::LaunchProcess("./no_such_program_qor.exe", arguments, DetachedLaunchFlags);
        EXPECT_EQ(result.error.GetText(), "Unable to create process. WinAPI Error: 2");
        EXPECT_FALSE(result.thread);
        EXPECT_FALSE(result.process);
    }
    const QOR::LaunchResult withZero = QOR::LaunchProcess(std::string("./a\0b", 5), "", 0);
    EXPECT_THAT(withZero.error.GetText(), TextWithCode("Unable to create process. WinAPI Error: ", ""));
}

// A start is made again only while it failed as a start that never ran, and never more than the attempts:
// a program that did run, or failed for another reason, must not be started twice.
TEST(LaunchProcessTest, OnlyStillbornStartsAreMadeAgain)
{
    const std::error_code stillborn = std::make_error_code(std::errc::interrupted);
    const std::error_code missing = std::make_error_code(std::errc::no_such_file_or_directory);
    struct Case
    {
        const char* what;
        std::vector<std::error_code> answers;
        int calls;
        std::error_code result;
    };
    const Case cases[] = {
        {"started at once", {{}}, 1, {}},
        {"stillborn once", {stillborn, {}}, 2, {}},
        {"stillborn every time", {stillborn, stillborn, stillborn, {}}, 3, stillborn},
        {"another failure", {missing, {}}, 1, missing},
        {"stillborn, then another failure", {stillborn, missing, {}}, 2, missing},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        int calls = 0;
        const std::error_code result = QOR::Detail::RetryStillbornStart(
            [&] { return c.answers.at(static_cast<std::size_t>(calls++)); }, stillborn, 3);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(result, c.result);
    }
}

TEST(NamedMutexTest, HeldUntilTheLastCopyGoesAndRefusedMeanwhileEvenInThisProcess)
{
    const std::string name = UniqueName("QOR_Test");
    EXPECT_FALSE(QOR::IsNamedMutexTaken(name));
    EXPECT_FALSE(QOR::IsNamedMutexTaken(name)); // the probe left it free
    EXPECT_TRUE(QOR::WaitForNamedMutexFree(name, 0ms));

    QOR::MutexResult held = QOR::CreateNamedMutex(name);
    ASSERT_FALSE(held.error) << held.error.GetText();
    ASSERT_TRUE(held.mutex);
    // Windows lets the owning thread wait on its own mutex at once; that is still not free.
    EXPECT_FALSE(QOR::WaitForNamedMutexFree(name, 50ms));

    EXPECT_FALSE(QOR::IsHeldElsewhere(held));
    const QOR::MutexResult second = QOR::CreateNamedMutex(name);
    EXPECT_EQ(second.error.GetText(), "Already exists.");
    EXPECT_FALSE(second.mutex);
    EXPECT_TRUE(QOR::IsHeldElsewhere(second)) << second.cause.message();
    EXPECT_TRUE(QOR::IsNamedMutexTaken(name));

    QOR::SharedHandle copy = held.mutex;
    held = {};
    EXPECT_TRUE(QOR::IsNamedMutexTaken(name)) << "a copy still holds it";
    copy.Reset();

    QOR::MutexResult again = QOR::CreateNamedMutex(name);
    EXPECT_FALSE(again.error) << again.error.GetText();
    again = {};
    RemoveLockFile(name);
}

TEST(NamedMutexTest, ReleaseReportsSuccessAndFailure)
{
    const std::string name = UniqueName("QOR_Test");
    QOR::MutexResult held = QOR::CreateNamedMutex(name);
    RemoveLockFile(name); // the held descriptor keeps working
    ASSERT_FALSE(held.error);
    const QOR::ReleaseResult released = QOR::ReleaseNamedMutex(held.mutex);
    EXPECT_TRUE(released.released);
    EXPECT_FALSE(released.error);

    const QOR::ReleaseResult refused = QOR::ReleaseNamedMutex(QOR::SharedHandle());
    EXPECT_FALSE(refused.released);
    EXPECT_THAT(refused.error.GetText(), TextWithCode("Unable to release Mutex. Win32API error code: ", "."));
}

TEST(NamedMutexTest, NamesThatCannotBeOneMutexAreRefused)
{
    const std::string withZero = UniqueName("QOR_Test") + std::string("\0x", 2);
    EXPECT_EQ(QOR::CreateNamedMutex(withZero).error.GetText(), "Unable to create mutex.");
    EXPECT_TRUE(QOR::IsNamedMutexTaken(withZero));
    EXPECT_FALSE(QOR::WaitForNamedMutexFree(withZero, 0ms)) << "the name before the zero was waited on";
    EXPECT_FALSE(QOR::IsHeldElsewhere(QOR::CreateNamedMutex(withZero)));
#ifndef _WIN32
    EXPECT_EQ(QOR::CreateNamedMutex("qor/" + UniqueName("x")).error.GetText(), "Unable to create mutex.");
#endif
}

#ifdef _WIN32
// Windows' counterpart of a planted lock file: the name belongs to an object of another kind, which no
// updater will ever release.
TEST(NamedMutexTest, NameTakenByAnEventIsNoHolderAndCarriesTheSystemCode)
{
    const std::string name = UniqueName("QOR_Test");
    const HANDLE event =
        ::CreateEventW(nullptr, TRUE, FALSE, (L"Global\\" + std::filesystem::path(name).wstring()).c_str());
    ASSERT_NE(event, nullptr);
    const QOR::MutexResult result = QOR::CreateNamedMutex(name);
    ::CloseHandle(event);
    EXPECT_EQ(result.error.GetText(), "Unable to create mutex.");
    EXPECT_FALSE(QOR::IsHeldElsewhere(result));
    EXPECT_EQ(result.cause, std::error_code(ERROR_INVALID_HANDLE, std::system_category()));
}
#endif

// The single-instance check between two processes: whichever comes second is refused for as long as
// the first lives, and the name is free once it is gone.
TEST(NamedMutexProcessTest, SecondProcessIsRefusedWhileTheFirstHoldsIt)
{
    const std::string name = UniqueName("QOR_Test");
    {
        Helper holder("hold", name);
        ASSERT_FALSE(holder.Launch().error) << holder.Launch().error.GetText();
        ASSERT_THAT(holder.WaitReady(), HasSubstr("ok"));

        const QOR::MutexResult mine = QOR::CreateNamedMutex(name);
        EXPECT_THAT(mine.error.GetText(), AnyOf(Eq("Already exists."), Eq("Access denied.")));
        EXPECT_FALSE(mine.mutex);
        EXPECT_TRUE(QOR::IsHeldElsewhere(mine));
        EXPECT_TRUE(QOR::IsNamedMutexTaken(name));

        holder.Release();
        EXPECT_TRUE(WaitUntil([&] { return !QOR::IsNamedMutexTaken(name); }, ChildTimeout));
    }

    QOR::MutexResult mine = QOR::CreateNamedMutex(name);
    ASSERT_FALSE(mine.error) << mine.error.GetText();
    Helper second("try", name);
    ASSERT_FALSE(second.Launch().error) << second.Launch().error.GetText();
    EXPECT_EQ(second.WaitReady(), "error Already exists.");
    RemoveLockFile(name);
}

// The wait while another process holds the name: taken at the deadline, and the end of the holder,
// however it ends, is seen while the wait is under way. The name is then free for the next taker
// (on Windows the wait owned the mutex for a moment and must have let it go).
TEST(NamedMutexProcessTest, WaitSeesTheHolderEndAndLeavesTheNameFree)
{
    for (const bool bIsKilled : {false, true})
    {
        SCOPED_TRACE(bIsKilled ? "killed" : "released");
        const std::string name = UniqueName("QOR_Test");
        Helper holder("hold", name);
        ASSERT_FALSE(holder.Launch().error) << holder.Launch().error.GetText();
        const std::string ready = holder.WaitReady();
        ASSERT_THAT(ready, testing::StartsWith("ok "));
        const auto pid = static_cast<std::uint32_t>(std::stoul(ready.substr(3)));

        EXPECT_FALSE(QOR::WaitForNamedMutexFree(name, 200ms));
        EXPECT_TRUE(QOR::IsNamedMutexTaken(name)) << "the holder lost it to the wait";

        std::thread ender([&] {
            std::this_thread::sleep_for(100ms);
            if (bIsKilled)
            {
                EXPECT_TRUE(KillProcess(pid));
            }
            else
            {
                holder.Release();
            }
        });
        EXPECT_TRUE(QOR::WaitForNamedMutexFree(name, ChildTimeout));
        ender.join();

        QOR::MutexResult next = QOR::CreateNamedMutex(name);
        EXPECT_FALSE(next.error) << next.error.GetText();
        next = {};
        RemoveLockFile(name);
    }
}

// The wait's loop: it ends at the first free answer; while the answer stays "taken" it gives up only
// after an ask made at the deadline.
TEST(MutexWaitTest, AsksUntilFreeAndLastAtTheDeadline)
{
    using Clock = std::chrono::steady_clock;
    struct Case
    {
        const char* what;
        std::chrono::milliseconds timeout;
        std::size_t freeAtAsk; // 0: never
        bool bIsFree;
    };
    const Case cases[] = {
        {"free at once", 0ms, 1, true},
        {"free at the third ask", ChildTimeout, 3, true},
        {"no time to wait", -1000ms, 0, false},
        {"taken throughout", 50ms, 0, false},
        {"longest timeout", std::chrono::milliseconds::max(), 2, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::vector<Clock::time_point> asks;
        const Clock::time_point deadline = QOR::Detail::DeadlineAfter(c.timeout);
        const bool free = QOR::Detail::ProbeUntilFree(
            [&] {
                asks.push_back(Clock::now());
                return asks.size() != c.freeAtAsk;
            },
            deadline, 5ms);
        EXPECT_EQ(free, c.bIsFree);
        if (c.freeAtAsk != 0)
        {
            EXPECT_EQ(asks.size(), c.freeAtAsk);
            continue;
        }
        ASSERT_FALSE(asks.empty());
        EXPECT_GE(asks.back(), deadline) << "gave up before the deadline";
    }
}

// Dropping every handle of a started program neither ends it nor waits for it.
TEST(LaunchProcessTest, DroppedHandlesLeaveTheProgramRunning)
{
    const std::string name = UniqueName("QOR_Test");
    Helper holder("hold", name);
    ASSERT_FALSE(holder.Launch().error) << holder.Launch().error.GetText();
    EXPECT_TRUE(holder.Launch().thread);
    EXPECT_TRUE(holder.Launch().process);
    ASSERT_THAT(holder.WaitReady(), HasSubstr("ok"));

    holder.Launch() = {};
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(QOR::IsNamedMutexTaken(name)) << "the program still holds its mutex";
    holder.Release();
    EXPECT_TRUE(WaitUntil([&] { return !QOR::IsNamedMutexTaken(name); }, ChildTimeout));
    RemoveLockFile(name);
}
