// What the engine's tests rely on in the in-memory file system, and the functions every file system
// shares. The same cases run in the Linux and the Windows builds.

#include "MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace
{
    using namespace QOR::Testing;
    using QOR::Update::EntryStatus;
    using QOR::Update::EntryType;
    using QOR::Update::NativeString;
    using QOR::Update::RenameMode;

    std::error_code E(std::errc code)
    {
        return code == std::errc{} ? std::error_code() : std::make_error_code(code);
    }

    EntryStatus StatusOf(MemoryFileSystem& fs, std::string_view relative, bool bFollow = false)
    {
        EntryStatus status;
        const std::error_code error =
            bFollow ? fs.StatusFollowingLinks(fs.PathOf(relative), status) : fs.Status(fs.PathOf(relative), status);
        EXPECT_FALSE(error) << relative << ": " << error.message();
        return status;
    }

    struct RenameCase
    {
        const char* name;
        TreeDump before;
        std::vector<std::pair<const char*, const char*>> hardLinks; // made before the rename
        const char* from;
        const char* to;
        RenameMode mode;
        std::errc error;
        TreeDump after; // empty: unchanged
    };

    TEST(MemoryFileSystem, RenamesAsRenameat2Does)
    {
        using enum RenameMode;
        const RenameCase cases[] = {
            {"to a free name", {{"a", "1"}}, {}, "a", "b", NoReplace, {}, {{"b", "1"}}},
            {"NoReplace onto a name", {{"a", "1"}, {"b", "2"}}, {}, "a", "b", NoReplace, std::errc::file_exists, {}},
            {"Replace a file", {{"a", "1"}, {"b", "2"}}, {}, "a", "b", Replace, {}, {{"b", "1"}}},
            {"Replace an empty folder",
             {{"d/x", "1"}, {"e", TreeItem::Folder()}},
             {},
             "d",
             "e",
             Replace,
             {},
             {{"e/x", "1"}}},
            {"Replace a full folder",
             {{"d/x", "1"}, {"e/y", "2"}},
             {},
             "d",
             "e",
             Replace,
             std::errc::directory_not_empty,
             {}},
            {"Replace a folder by a file",
             {{"a", "1"}, {"e", TreeItem::Folder()}},
             {},
             "a",
             "e",
             Replace,
             std::errc::is_a_directory,
             {}},
            {"Replace a file by a folder",
             {{"d/x", "1"}, {"a", "2"}},
             {},
             "d",
             "a",
             Replace,
             std::errc::not_a_directory,
             {}},
            {"Exchange a file and a folder",
             {{"a", "1"}, {"d/x", "2"}},
             {},
             "a",
             "d",
             Exchange,
             {},
             {{"a/x", "2"}, {"d", "1"}}},
            {"Exchange with nothing", {{"a", "1"}}, {}, "a", "b", Exchange, std::errc::no_such_file_or_directory, {}},
            {"a folder into itself", {{"d/e/x", "1"}}, {}, "d", "d/e/f", NoReplace, std::errc::invalid_argument, {}},
            {"a folder exchanged with its content",
             {{"d/e/x", "1"}},
             {},
             "d",
             "d/e",
             Exchange,
             std::errc::invalid_argument,
             {}},
            {"a link as itself",
             {{"t", "1"}, {"l", TreeItem::Link("t")}},
             {},
             "l",
             "m",
             NoReplace,
             {},
             {{"t", "1"}, {"m", TreeItem::Link("t")}}},
            {"through a folder link",
             {{"real/x", "1"}, {"l", TreeItem::FolderLink("real")}},
             {},
             "l/x",
             "y",
             NoReplace,
             {},
             {{"real", TreeItem::Folder()}, {"l", TreeItem::FolderLink("real")}, {"y", "1"}}},
            {"a missing source", {{"b", "2"}}, {}, "a", "c", NoReplace, std::errc::no_such_file_or_directory, {}},
            {"a file on the way", {{"a", "1"}}, {}, "a/x", "b", NoReplace, std::errc::not_a_directory, {}},
            {"Replace onto another name of the file",
             {{"a", "1"}},
             {{"a", "b"}},
             "a",
             "b",
             Replace,
             {},
             {{"a", "1"}, {"b", "1"}}},
            {"NoReplace onto another name of the file",
             {{"a", "1"}},
             {{"a", "b"}},
             "a",
             "b",
             NoReplace,
             std::errc::file_exists,
             {}},
            {"Exchange with another name of the file",
             {{"a", "1"}},
             {{"a", "b"}},
             "a",
             "b",
             Exchange,
             {},
             {{"a", "1"}, {"b", "1"}}},
        };
        for (const RenameCase& test : cases)
        {
            SCOPED_TRACE(test.name);
            MemoryFileSystem fs;
            fs.Build(test.before);
            for (const auto& [existing, link] : test.hardLinks)
            {
                ASSERT_FALSE(fs.HardLink(fs.PathOf(existing), fs.PathOf(link)));
            }
            const TreeDump before = fs.Dump();
            EXPECT_EQ(fs.Rename(fs.PathOf(test.from), fs.PathOf(test.to), test.mode), E(test.error));
            EXPECT_EQ(fs.Dump(), test.after.empty() ? before : WithImpliedFolders(test.after));
        }
    }

    TEST(MemoryFileSystem, KeepsIdsAcrossRenamesAndSharesThemBetweenLinks)
    {
        MemoryFileSystem fs;
        fs.Build({{"a", "1"}, {"t", "2"}, {"l", TreeItem::Link("t")}, {"abs", TreeItem::Link("/t")}, {"z", "3"}});
        const auto id = fs.IdOf("a");
        ASSERT_FALSE(fs.Rename(fs.PathOf("a"), fs.PathOf("b"), RenameMode::NoReplace));
        EXPECT_EQ(StatusOf(fs, "b").id, id);
        ASSERT_FALSE(fs.HardLink(fs.PathOf("b"), fs.PathOf("c")));
        EXPECT_EQ(StatusOf(fs, "c").id, id);
        ASSERT_FALSE(fs.CopyToNewFile(fs.PathOf("b"), fs.PathOf("d")));
        EXPECT_NE(StatusOf(fs, "d").id, id);
        ASSERT_FALSE(fs.RemoveFile(fs.PathOf("b")));
        EXPECT_EQ(StatusOf(fs, "c").id, id);

        // A link is itself to Status and what it names to StatusFollowingLinks, whether its text is
        // relative or absolute.
        EXPECT_EQ(StatusOf(fs, "l").type, EntryType::FileLink);
        EXPECT_NE(StatusOf(fs, "l").id, fs.IdOf("t"));
        EXPECT_EQ(StatusOf(fs, "l", true).id, fs.IdOf("t"));
        EXPECT_EQ(StatusOf(fs, "abs", true).id, fs.IdOf("t"));
        NativeString final;
        ASSERT_FALSE(fs.FinalPath(fs.PathOf("abs"), final));
        EXPECT_EQ(final, fs.PathOf("t"));

        // Listed in the order the names were made: a renamed name is a new one.
        std::vector<std::string> names;
        std::unique_ptr<QOR::Update::Listing> listing;
        ASSERT_FALSE(fs.OpenListing(fs.PathOf(""), false, listing));
        NativeString name;
        EntryType type = EntryType::Missing;
        std::error_code error;
        while (listing->Next(name, type, error))
        {
            names.push_back(QOR::Update::ToUtf8(name));
        }
        EXPECT_FALSE(error);
        EXPECT_EQ(names, (std::vector<std::string>{"abs", "l", "t", "z", "c", "d"}));
    }

    // As FAT's: an id is where the entry stands. A move changes it, and a file renamed over another
    // takes the other's.
    TEST(MemoryFileSystem, GivesPositionalIdsWhenAsked)
    {
        MemoryFileSystem fs;
        fs.SetIdsPositional(true);
        fs.Build({{"d/a", "1"}, {"t", "2"}});
        EXPECT_FALSE(fs.KeepsIdsWhenMoved(fs.PathOf("")));
        const auto installed = fs.IdOf("t");
        ASSERT_FALSE(fs.Rename(fs.PathOf("d/a"), fs.PathOf("b"), RenameMode::NoReplace));
        EXPECT_EQ(StatusOf(fs, "b").id, fs.IdOf("b"));
        ASSERT_FALSE(fs.Rename(fs.PathOf("b"), fs.PathOf("t"), RenameMode::Replace));
        EXPECT_EQ(StatusOf(fs, "t").id, installed);
        EXPECT_EQ(fs.ReadFile("t"), "1");
    }

    TEST(MemoryFileSystem, TakesPathsAndLinkTextsFromTheRoot)
    {
        // The root the engine works under on Windows, and an absolute one elsewhere.
#ifdef _WIN32
        const NativeString root = L"\\\\?\\C:\\QOR";
        const NativeString otherSeparator = L"/";
        const std::string display = "C:\\QOR\\a";
#else
        const NativeString root = "/opt/qor";
        const NativeString otherSeparator = "/";
        const std::string display = "/games/qor/a";
#endif
        MemoryFileSystem fs;
        fs.SetInstallationRoot(root);
        fs.SetDisplayRoot(display.substr(0, display.size() - 2));
        fs.Build({{"d/t", "1"},
                  {"viaRoot", TreeItem::Link(QOR::Update::ToUtf8(root) + "/d/t")},
                  {"viaSlash", TreeItem::Link("/d/t")},
                  {"d/up", TreeItem::Link("../d/./t")}});
        NativeString installation;
        ASSERT_FALSE(fs.InstallationRoot(installation));
        EXPECT_EQ(installation, root);
        EXPECT_EQ(StatusOf(fs, "").type, EntryType::Directory);
        for (const char* link : {"viaRoot", "viaSlash", "d/up"})
        {
            EXPECT_EQ(StatusOf(fs, link, true).id, fs.IdOf("d/t")) << link;
        }
        const NativeString dotted =
            root + otherSeparator + QOR::Update::FromAscii("./d") + otherSeparator + QOR::Update::FromAscii("t");
        EntryStatus status;
        ASSERT_FALSE(fs.Status(dotted, status));
        EXPECT_EQ(status.id, fs.IdOf("d/t"));
        EXPECT_EQ(fs.DisplayPath(fs.PathOf("a")), display);
    }

    TEST(MemoryFileSystem, FoldsCaseOnlyWhenAsked)
    {
        for (const bool bIsCaseInsensitive : {false, true})
        {
            SCOPED_TRACE(bIsCaseInsensitive);
            MemoryFileSystem fs;
            fs.SetCaseInsensitive(bIsCaseInsensitive);
            fs.Build({{"Game.exe", "1"}});
            EXPECT_EQ(StatusOf(fs, "GAME.EXE").type, bIsCaseInsensitive ? EntryType::File : EntryType::Missing);
            EXPECT_EQ(fs.WriteNewFile(fs.PathOf("game.EXE"), "2"),
                      bIsCaseInsensitive ? E(std::errc::file_exists) : std::error_code());
            EXPECT_EQ(fs.FoldCase(fs.PathOf("a")) == fs.FoldCase(fs.PathOf("A")), bIsCaseInsensitive);
            if (bIsCaseInsensitive)
            {
                // A new spelling of the same name changes only its case.
                ASSERT_FALSE(fs.Rename(fs.PathOf("game.exe"), fs.PathOf("GAME.EXE"), RenameMode::NoReplace));
                EXPECT_EQ(fs.Dump(), (TreeDump{{"GAME.EXE", "1"}}));
            }
        }
    }

    TEST(MemoryFileSystem, KeepsDevicesApart)
    {
        MemoryFileSystem fs;
        fs.Build({{"a", "1"}, {"mnt/x", "2"}});
        fs.MakeDevice("mnt");
        EXPECT_NE(fs.IdOf("a").device, fs.IdOf("mnt/x").device);
        const std::error_code moved = fs.Rename(fs.PathOf("a"), fs.PathOf("mnt/a"), RenameMode::NoReplace);
        EXPECT_TRUE(QOR::Update::IsCrossDevice(moved)) << moved.message();
        const std::error_code linked = fs.HardLink(fs.PathOf("a"), fs.PathOf("mnt/a"));
        EXPECT_TRUE(QOR::Update::IsLinkUnsupported(linked)) << linked.message();
        ASSERT_FALSE(fs.CopyToNewFile(fs.PathOf("a"), fs.PathOf("mnt/a")));
        EXPECT_EQ(fs.IdOf("mnt/a").device, fs.IdOf("mnt").device);
        EXPECT_FALSE(fs.Rename(fs.PathOf("mnt/x"), fs.PathOf("mnt/y"), RenameMode::NoReplace));
    }

    TEST(MemoryFileSystem, ModelsWindowsLinksWhenLinksAreNotSupported)
    {
        MemoryFileSystem fs;
        fs.SetSymbolicLinksSupported(false);
        fs.Build({{"t", "1"}, {"l", TreeItem::Link("t")}, {"d/x", "2"}, {"dl", TreeItem::FolderLink("d")}});
        NativeString text;
        EXPECT_EQ(fs.ReadLink(fs.PathOf("l"), text), E(std::errc::operation_not_supported));
        ASSERT_FALSE(fs.CopyToNewFile(fs.PathOf("l"), fs.PathOf("copy")));
        EXPECT_EQ(StatusOf(fs, "copy").type, EntryType::File);
        EXPECT_EQ(fs.RemoveFile(fs.PathOf("dl")), E(std::errc::permission_denied));
        EXPECT_FALSE(fs.RemoveEmptyFolder(fs.PathOf("dl")));
        EXPECT_EQ(fs.ReadFile("d/x"), "2");
    }

    struct HostileCase
    {
        const char* name;
        std::function<void(MemoryFileSystem&)> make;
        std::function<std::error_code(MemoryFileSystem&)> operation;
        std::errc error;
    };

    TEST(MemoryFileSystem, RefusesWhatHostileStatesRefuse)
    {
        using enum RenameMode;
        const auto readOnly = [](MemoryFileSystem& fs) { fs.SetReadOnlyFolder("ro", true); };
        const auto mapped = [](MemoryFileSystem& fs) { fs.SetMappedImage("f", true); };
        const auto held = [](MemoryFileSystem& fs) { fs.Hold("f"); };
        const auto unreadable = [](MemoryFileSystem& fs) { fs.SetUnreadable("f", true); };
        const auto readOnlyFile = [](MemoryFileSystem& fs) { fs.SetReadOnlyFile("f", true); };
        const auto neverRemovable = [](MemoryFileSystem& fs) { fs.SetNeverRemovable("f", true); };
        const auto path = [](MemoryFileSystem& fs, const char* relative) { return fs.PathOf(relative); };
        std::string bytes;
        const HostileCase cases[] = {
            {"read-only: a new file", readOnly, [&](auto& fs) { return fs.WriteNewFile(path(fs, "ro/n"), "x"); },
             std::errc::permission_denied},
            {"read-only: removing a missing name", readOnly,
             [&](auto& fs) { return fs.RemoveFile(path(fs, "ro/missing")); }, std::errc::permission_denied},
            {"read-only: renaming out", readOnly,
             [&](auto& fs) { return fs.Rename(path(fs, "ro/x"), path(fs, "y"), NoReplace); },
             std::errc::permission_denied},
            {"read-only: reading",
             readOnly,
             [&](auto& fs) { return QOR::Update::ReadWholeFile(fs, path(fs, "ro/x"), bytes); },
             {}},
            {"mapped: renamed",
             mapped,
             [&](auto& fs) { return fs.Rename(path(fs, "f"), path(fs, "g"), NoReplace); },
             {}},
            {"mapped: linked", mapped, [&](auto& fs) { return fs.HardLink(path(fs, "f"), path(fs, "g")); }, {}},
            {"mapped: removed", mapped, [&](auto& fs) { return fs.RemoveFile(path(fs, "f")); },
             std::errc::permission_denied},
            {"mapped: replaced", mapped, [&](auto& fs) { return fs.Rename(path(fs, "o"), path(fs, "f"), Replace); },
             std::errc::permission_denied},
            {"mapped: flushed", mapped, [&](auto& fs) { return fs.FlushFile(path(fs, "f")); },
             std::errc::permission_denied},
            {"mapped: checked", mapped, [&](auto& fs) { return fs.CheckReplaceable(path(fs, "f")); },
             std::errc::permission_denied},
            {"held: removed", held, [&](auto& fs) { return fs.RemoveFile(path(fs, "f")); },
             std::errc::device_or_resource_busy},
            {"held: renamed", held, [&](auto& fs) { return fs.Rename(path(fs, "f"), path(fs, "g"), NoReplace); },
             std::errc::device_or_resource_busy},
            {"held: replaced", held, [&](auto& fs) { return fs.Rename(path(fs, "o"), path(fs, "f"), Replace); },
             std::errc::device_or_resource_busy},
            {"held: checked", held, [&](auto& fs) { return fs.CheckReplaceable(path(fs, "f")); },
             std::errc::device_or_resource_busy},
            {"held: flushed", held, [&](auto& fs) { return fs.FlushFile(path(fs, "f")); }, {}},
            {"unreadable: read", unreadable,
             [&](auto& fs) { return QOR::Update::ReadWholeFile(fs, path(fs, "f"), bytes); },
             std::errc::permission_denied},
            {"unreadable: copied", unreadable, [&](auto& fs) { return fs.CopyToNewFile(path(fs, "f"), path(fs, "g")); },
             std::errc::permission_denied},
            {"read-only file: replaced", readOnlyFile,
             [&](auto& fs) { return fs.Rename(path(fs, "o"), path(fs, "f"), Replace); }, std::errc::permission_denied},
            {"read-only file: linked", readOnlyFile,
             [&](auto& fs) { return fs.HardLink(path(fs, "f"), path(fs, "g")); }, std::errc::permission_denied},
            {"read-only file: renamed",
             readOnlyFile,
             [&](auto& fs) { return fs.Rename(path(fs, "f"), path(fs, "g"), NoReplace); },
             {}},
            {"read-only file: made writable and replaced",
             readOnlyFile,
             [&](auto& fs) {
                 const std::error_code error = fs.SetReadOnly(path(fs, "f"), false);
                 return error ? error : fs.Rename(path(fs, "o"), path(fs, "f"), Replace);
             },
             {}},
            {"read-only file: removed", readOnlyFile, [&](auto& fs) { return fs.RemoveFile(path(fs, "f")); }, {}},
            {"never removable: removed", neverRemovable, [&](auto& fs) { return fs.RemoveFile(path(fs, "f")); },
             std::errc::operation_not_supported},
            {"never removable: renamed",
             neverRemovable,
             [&](auto& fs) { return fs.Rename(path(fs, "f"), path(fs, "g"), NoReplace); },
             {}},
        };
        for (const HostileCase& test : cases)
        {
            SCOPED_TRACE(test.name);
            MemoryFileSystem fs;
            fs.Build({{"ro/x", "1"}, {"f", "2"}, {"o", "3"}});
            test.make(fs);
            const std::error_code error = test.operation(fs);
            EXPECT_EQ(error, E(test.error)) << error.message();
            EXPECT_EQ(fs.IsHeldByAnother(error, {}), test.error == std::errc::device_or_resource_busy);
        }
    }

    // Windows' read-only attribute: carried by renames and copies, shared by hard links, and kept by the
    // names that remain when one name of a read-only file is removed.
    TEST(MemoryFileSystem, KeepsTheReadOnlyAttributeAsWindowsDoes)
    {
        MemoryFileSystem fs;
        fs.Build({{"f", TreeItem::ReadOnly("1")}, {"w", "2"}});
        EXPECT_TRUE(StatusOf(fs, "f").bIsReadOnly);
        EXPECT_FALSE(StatusOf(fs, "w").bIsReadOnly);
        ASSERT_FALSE(fs.CopyToNewFile(fs.PathOf("f"), fs.PathOf("copy")));
        ASSERT_FALSE(fs.SetReadOnly(fs.PathOf("f"), false));
        ASSERT_FALSE(fs.HardLink(fs.PathOf("f"), fs.PathOf("link")));
        ASSERT_FALSE(fs.SetReadOnly(fs.PathOf("link"), true));
        EXPECT_TRUE(StatusOf(fs, "f").bIsReadOnly);
        ASSERT_FALSE(fs.RemoveFile(fs.PathOf("link")));
        ASSERT_FALSE(fs.Rename(fs.PathOf("f"), fs.PathOf("moved"), RenameMode::NoReplace));
        EXPECT_EQ(fs.Dump(),
                  (TreeDump{{"copy", TreeItem::ReadOnly("1")}, {"moved", TreeItem::ReadOnly("1")}, {"w", "2"}}));
        // A power cut right after a removal's first change leaves the file writable under every name.
        ASSERT_FALSE(fs.HardLink(fs.PathOf("w"), fs.PathOf("w2")));
        ASSERT_FALSE(fs.SetReadOnly(fs.PathOf("w"), true));
        fs.SetFaultPlan({FaultKind::PowerCut, 2, Counting::Changes, {}, 1});
        ASSERT_FALSE(fs.FlushFileSystem(fs.PathOf("")));
        EXPECT_EQ(fs.RemoveFile(fs.PathOf("w2")), MemoryFileSystem::KilledError());
        fs.Restart();
        EXPECT_EQ(fs.Dump().at("w"), TreeItem("2"));
        EXPECT_EQ(fs.Dump().count("w2"), 1U);
    }

    // Where names are case-insensitive an entry may have a short name too, which reaches it as its own name
    // does; LongName gives the name its folder holds it under.
    TEST(MemoryFileSystem, ReachesAnEntryByItsShortName)
    {
        MemoryFileSystem fs;
        fs.SetCaseInsensitive(true);
        fs.Build({{"QORLauncher.exe", "launcher"}, {"new.exe", "new"}});
        fs.SetShortName("QORLauncher.exe", "QORLAU~1.EXE");
        EXPECT_EQ(StatusOf(fs, "qorlau~1.exe").id, fs.IdOf("QORLauncher.exe"));
        for (const char* name : {"QORLAU~1.EXE", "qorlauncher.EXE", "QORLauncher.exe"})
        {
            NativeString longName;
            ASSERT_FALSE(fs.LongName(fs.PathOf(name), longName)) << name;
            EXPECT_EQ(longName, QOR::Update::FromAscii("QORLauncher.exe")) << name;
        }
        NativeString longName;
        EXPECT_EQ(fs.LongName(fs.PathOf("QORLAU~2.EXE"), longName), E(std::errc::no_such_file_or_directory));
        EXPECT_EQ(fs.WriteNewFile(fs.PathOf("QORLAU~1.EXE"), "x"), E(std::errc::file_exists));
        // A move to the short name replaces the entry it belongs to.
        ASSERT_FALSE(fs.Rename(fs.PathOf("new.exe"), fs.PathOf("QORLAU~1.EXE"), RenameMode::Replace));
        EXPECT_EQ(fs.Dump(), (TreeDump{{"QORLAU~1.EXE", "new"}}));
    }

    TEST(MemoryFileSystem, LetsAHeldFileGoAfterTheGivenAttempts)
    {
        MemoryFileSystem fs;
        fs.Build({{"f", "1"}});
        fs.Hold("f", 2, "indexer.exe (pid 7)");
        EXPECT_EQ(fs.HoldersOf(fs.PathOf("f")), "indexer.exe (pid 7)");
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            const std::error_code error = fs.RemoveFile(fs.PathOf("f"));
            EXPECT_TRUE(fs.IsHeldByAnother(error, fs.PathOf("f"))) << error.message();
        }
        EXPECT_EQ(fs.HoldersOf(fs.PathOf("f")), "");
        EXPECT_FALSE(fs.RemoveFile(fs.PathOf("f")));
    }

    TEST(MemoryFileSystem, LocksUntilTheHolderOrItsProcessEnds)
    {
        MemoryFileSystem fs;
        fs.Build({{"lock", ""}, {"other", ""}});
        ASSERT_FALSE(fs.HardLink(fs.PathOf("lock"), fs.PathOf("alias")));
        std::unique_ptr<QOR::Update::FileLock> first;
        std::unique_ptr<QOR::Update::FileLock> second;
        ASSERT_FALSE(fs.TryLock(fs.PathOf("lock"), first));
        // The lock is the file's, whatever name reaches it.
        EXPECT_TRUE(QOR::Update::IsLockedByAnother(fs.TryLock(fs.PathOf("alias"), second)));
        first.reset();
        ASSERT_FALSE(fs.TryLock(fs.PathOf("alias"), second));

        // A restart ends the process's locks; its stale lock objects release nothing of the new process.
        fs.LockByAnother("other");
        fs.Restart();
        ASSERT_FALSE(fs.TryLock(fs.PathOf("lock"), first));
        second.reset();
        std::unique_ptr<QOR::Update::FileLock> third;
        EXPECT_TRUE(QOR::Update::IsLockedByAnother(fs.TryLock(fs.PathOf("lock"), third)));
        EXPECT_TRUE(QOR::Update::IsLockedByAnother(fs.TryLock(fs.PathOf("other"), third)));
        fs.UnlockByAnother("other");
        EXPECT_FALSE(fs.TryLock(fs.PathOf("other"), third));
    }

    // A small run: each step is one change, with a status query between two.
    using Step = std::function<std::error_code(MemoryFileSystem&)>;

    const std::vector<Step>& RunSteps()
    {
        static const std::vector<Step> steps = {
            [](MemoryFileSystem& fs) { return fs.MakeFolder(fs.PathOf("new")); },
            [](MemoryFileSystem& fs) { return fs.WriteNewFile(fs.PathOf("new/f"), "data"); },
            [](MemoryFileSystem& fs) { return fs.Rename(fs.PathOf("a"), fs.PathOf("new/a"), RenameMode::NoReplace); },
            [](MemoryFileSystem& fs) { return fs.FlushDirectory(fs.PathOf("new")); },
            [](MemoryFileSystem& fs) { return fs.RemoveFile(fs.PathOf("b")); },
        };
        return steps;
    }

    // Every call's result, the status queries' included: step i is at 2 * i.
    std::vector<std::error_code> RunScript(MemoryFileSystem& fs, std::size_t stepCount)
    {
        std::vector<std::error_code> results;
        for (std::size_t i = 0; i < stepCount; ++i)
        {
            results.push_back(RunSteps()[i](fs));
            EntryStatus status;
            results.push_back(fs.Status(fs.PathOf("a"), status));
        }
        return results;
    }

    MemoryFileSystem Installation()
    {
        MemoryFileSystem fs;
        fs.Build({{"a", "1"}, {"b", "2"}});
        return fs;
    }

    TEST(MemoryFileSystem, FailsOrKillsAtTheCountedOperation)
    {
        const std::size_t stepCount = RunSteps().size();
        MemoryFileSystem counted = Installation();
        RunScript(counted, stepCount);
        ASSERT_EQ(counted.CountedOperations(Counting::Changes), stepCount);
        ASSERT_EQ(counted.CountedOperations(Counting::All), 2 * stepCount);

        for (const Counting counting : {Counting::Changes, Counting::All})
        {
            const std::uint64_t count = counted.CountedOperations(counting);
            for (std::uint64_t at = 1; at <= count; ++at)
            {
                // The call struck: the at-th change, or the at-th call.
                const std::size_t struck = counting == Counting::All ? at - 1 : 2 * (at - 1);
                SCOPED_TRACE(testing::Message() << (counting == Counting::All ? "all " : "changes ") << at);

                MemoryFileSystem failed = Installation();
                failed.SetFaultPlan({FaultKind::Fail, at, counting});
                const std::vector<std::error_code> failures = RunScript(failed, stepCount);
                for (std::size_t call = 0; call < failures.size(); ++call)
                {
                    EXPECT_EQ(failures[call] == std::errc::io_error, call == struck) << call << "\n"
                                                                                     << failed.RecordText();
                }

                MemoryFileSystem killed = Installation();
                std::unique_ptr<QOR::Update::Listing> listing;
                ASSERT_FALSE(killed.OpenListing(killed.PathOf(""), false, listing));
                killed.SetFaultPlan({FaultKind::Kill, at, counting});
                const std::vector<std::error_code> results = RunScript(killed, stepCount);
                for (std::size_t call = 0; call < results.size(); ++call)
                {
                    EXPECT_EQ(results[call] == MemoryFileSystem::KilledError(), call >= struck) << call;
                }
                NativeString name;
                EntryType type = EntryType::Missing;
                std::error_code listingError;
                EXPECT_FALSE(listing->Next(name, type, listingError));
                EXPECT_EQ(listingError, MemoryFileSystem::KilledError());

                // What the dead process did is what the steps before the struck call do.
                MemoryFileSystem expected = Installation();
                RunScript(expected, struck / 2);
                if (struck % 2 == 1)
                {
                    static_cast<void>(RunSteps()[struck / 2](expected));
                }
                EXPECT_EQ(killed.Dump(), expected.Dump());
                killed.Restart();
                EXPECT_FALSE(killed.IsKilled());
                EXPECT_EQ(killed.Dump(), expected.Dump());
                EXPECT_FALSE(killed.WriteNewFile(killed.PathOf("after"), ""));
            }
        }
    }

    struct PowerCutCase
    {
        std::uint64_t at;
        std::size_t pending;
        std::vector<TreeDump> byPrefix; // the tree after a cut that lets 0, 1, ... changes reach the disk
    };

    TEST(MemoryFileSystem, CutsThePowerToTheDurableStatePlusAPrefix)
    {
        const std::vector<Step> steps = {
            [](MemoryFileSystem& fs) { return fs.WriteNewFile(fs.PathOf("w"), "data"); },
            [](MemoryFileSystem& fs) { return fs.Rename(fs.PathOf("a"), fs.PathOf("b"), RenameMode::NoReplace); },
            [](MemoryFileSystem& fs) { return fs.FlushDirectory(fs.PathOf("")); },
            [](MemoryFileSystem& fs) { return fs.Rename(fs.PathOf("b"), fs.PathOf("c"), RenameMode::NoReplace); },
            [](MemoryFileSystem& fs) { return fs.MakeFolder(fs.PathOf("d")); },
        };
        const TreeItem folder = TreeItem::Folder();
        // The power fails during the struck change: it may have reached the disk, its data has not. A new
        // file's data waits for a flush of the whole file system, which a folder's flush is not.
        const PowerCutCase cases[] = {
            {1, 1, {{{"a", "1"}}, {{"a", "1"}, {"w", ""}}}},
            {3, 2, {{{"a", "1"}}, {{"a", "1"}, {"w", ""}}, {{"b", "1"}, {"w", ""}}}},
            {5, 2, {{{"b", "1"}, {"w", ""}}, {{"c", "1"}, {"w", ""}}, {{"c", "1"}, {"d", folder}, {"w", ""}}}},
        };
        for (const PowerCutCase& test : cases)
        {
            MemoryFileSystem fs;
            fs.SetFlushesEachFile(false);
            fs.Build({{"a", "1"}});
            fs.SetFaultPlan({FaultKind::PowerCut, test.at, Counting::Changes});
            for (const Step& step : steps)
            {
                static_cast<void>(step(fs));
            }
            ASSERT_EQ(fs.PendingChanges(), test.pending) << test.at;
            for (std::size_t prefix = 0; prefix <= test.pending; ++prefix)
            {
                SCOPED_TRACE(testing::Message() << "cut at " << test.at << ", prefix " << prefix);
                MemoryFileSystem cut = fs;
                cut.CutPower(prefix);
                EXPECT_EQ(cut.Dump(), test.byPrefix[prefix]);
                EXPECT_EQ(cut.PendingChanges(), 0U);
            }
            // A restart after the cut reboots with the plan's prefix: every change by default.
            fs.Restart();
            EXPECT_EQ(fs.Dump(), test.byPrefix.back());
        }

        // A run that ends without a flush keeps only what it flushed.
        MemoryFileSystem finished;
        finished.SetFlushesEachFile(false);
        finished.Build({{"a", "1"}});
        for (const Step& step : steps)
        {
            ASSERT_FALSE(step(finished));
        }
        finished.CutPower(0);
        EXPECT_EQ(finished.Dump(), (TreeDump{{"b", "1"}, {"w", ""}}));
        // Where files are flushed one by one, a new file is flushed as it is written.
        MemoryFileSystem eachFile;
        eachFile.SetFlushesEachFile(true);
        eachFile.Build({{"a", "1"}});
        ASSERT_FALSE(steps[0](eachFile));
        ASSERT_FALSE(steps[2](eachFile));
        eachFile.CutPower(0);
        EXPECT_EQ(eachFile.Dump(), (TreeDump{{"a", "1"}, {"w", "data"}}));
    }

    TEST(MemoryFileSystem, ForcesThenDrawsRandomBitsDeterministically)
    {
        MemoryFileSystem first;
        MemoryFileSystem second;
        first.ForceRandomBits({7, 7});
        EXPECT_EQ(first.RandomBits(), 7U);
        EXPECT_EQ(first.RandomBits(), 7U);
        EXPECT_EQ(first.RandomBits(), second.RandomBits());
    }

    // --- The functions every file system shares, run over the in-memory one.

    std::string Slashed(const NativeString& relative)
    {
        std::string text = QOR::Update::ToUtf8(relative);
        std::replace(text.begin(), text.end(), '\\', '/');
        return text;
    }

    TEST(SharedFileSystemFunctions, WalkPreOrderWithoutEnteringFolderLinks)
    {
        MemoryFileSystem fs;
        fs.Build({{"a", "1"}, {"b/c/y", "2"}, {"b/x", "3"}, {"l", TreeItem::FolderLink("b")}});
        const auto walk = [&](const char* root, std::vector<std::string>& visited, NativeString& failed) {
            visited.clear();
            return QOR::Update::Walk(
                fs, fs.PathOf(root),
                [&](const NativeString& relative, EntryType) {
                    visited.push_back(Slashed(relative));
                    return std::error_code();
                },
                failed);
        };
        std::vector<std::string> visited;
        NativeString failed;
        ASSERT_FALSE(walk("", visited, failed));
        EXPECT_EQ(visited, (std::vector<std::string>{"a", "b", "b/c", "b/c/y", "b/x", "l"}));
        ASSERT_FALSE(walk("l", visited, failed));
        EXPECT_EQ(visited, (std::vector<std::string>{"c", "c/y", "x"}));

        // The second listing fails: it names its folder.
        fs.SetFaultPlan({FaultKind::Fail, 2, Counting::All});
        EXPECT_EQ(walk("", visited, failed), E(std::errc::io_error));
        EXPECT_EQ(Slashed(failed), "b");
    }

    TEST(SharedFileSystemFunctions, RemoveTreeGoesOnPastWhatStaysAndNeverFollowsALink)
    {
        MemoryFileSystem fs;
        fs.Build(
            {{"t/a", "1"}, {"t/ro/x", "2"}, {"t/l", TreeItem::FolderLink("../keep")}, {"t/z", "3"}, {"keep/k", "4"}});
        fs.SetReadOnlyFolder("t/ro", true);
        EXPECT_EQ(QOR::Update::RemoveTree(fs, fs.PathOf("t")), E(std::errc::permission_denied));
        EXPECT_EQ(fs.Dump(), WithImpliedFolders({{"t/ro/x", "2"}, {"keep/k", "4"}}));
        EXPECT_FALSE(QOR::Update::RemoveTree(fs, fs.PathOf("missing")));
        fs.SetReadOnlyFolder("t/ro", false);
        EXPECT_FALSE(QOR::Update::RemoveTree(fs, fs.PathOf("t")));
        EXPECT_EQ(fs.Dump(), WithImpliedFolders({{"keep/k", "4"}}));
    }

    // What can never be removed (a Linux link under Wine) is said only when nothing else failed, whatever
    // order the listing gives: any other failure may be got past by a later try.
    TEST(SharedFileSystemFunctions, RemoveTreeSaysUnsupportedOnlyWhenNothingElseFailed)
    {
        for (const char* stuck : {"t/a", "t/z"})
        {
            SCOPED_TRACE(stuck);
            MemoryFileSystem fs;
            fs.Build({{"t/a", "1"}, {"t/ro/x", "2"}, {"t/z", "3"}});
            fs.SetNeverRemovable(stuck, true);
            fs.SetReadOnlyFolder("t/ro", true);
            EXPECT_EQ(QOR::Update::RemoveTree(fs, fs.PathOf("t")), E(std::errc::permission_denied));
            fs.SetReadOnlyFolder("t/ro", false);
            EXPECT_EQ(QOR::Update::RemoveTree(fs, fs.PathOf("t")), E(std::errc::operation_not_supported));
            EXPECT_EQ(fs.Dump().count(stuck), 1U);
            EXPECT_EQ(fs.Dump().size(), 2U); // the folder and what stays in it
        }
    }

    TEST(SharedFileSystemFunctions, SameContentComparesLinkTextsOrPermissionsAndBytes)
    {
#ifdef _WIN32
        constexpr std::uint32_t ReadOnly = 0x21; // FILE_ATTRIBUTE_READONLY | _ARCHIVE
#else
        constexpr std::uint32_t ReadOnly = 0444;
#endif
        const std::string big(200 * 1024, 'x');
        std::string bigChanged = big;
        bigChanged.back() = 'y';
        MemoryFileSystem fs;
        fs.SetSymbolicLinksSupported(true);
        fs.Build({{"a", "same"},
                  {"b", "same"},
                  {"c", "diff"},
                  {"ro", "same"},
                  {"big1", big},
                  {"big2", big},
                  {"big3", bigChanged},
                  {"l1", TreeItem::Link("a")},
                  {"l2", TreeItem::Link("a")},
                  {"l3", TreeItem::Link("b")}});
        fs.SetAttributes("ro", ReadOnly);
        const struct
        {
            const char* left;
            const char* right;
            bool bIsSame;
        } cases[] = {
            {"a", "b", true},        {"a", "c", false},  {"a", "ro", false},  {"big1", "big2", true},
            {"big1", "big3", false}, {"l1", "l2", true}, {"l1", "l3", false}, {"a", "l1", false},
        };
        for (const auto& test : cases)
        {
            bool same = !test.bIsSame;
            EXPECT_FALSE(QOR::Update::SameContent(fs, fs.PathOf(test.left), fs.PathOf(test.right), same));
            EXPECT_EQ(same, test.bIsSame) << test.left << " " << test.right;
        }
        bool same = false;
        EXPECT_TRUE(QOR::Update::IsNotFound(QOR::Update::SameContent(fs, fs.PathOf("a"), fs.PathOf("no"), same)));
    }

    TEST(SharedFileSystemFunctions, RecognizeErrorsByMeaning)
    {
        using namespace QOR::Update;
        using Predicate = bool (*)(const std::error_code&);
        const struct
        {
            const char* name;
            Predicate predicate;
            std::vector<std::error_code> yes;
        } cases[] = {
            {"not found", IsNotFound, {E(std::errc::no_such_file_or_directory)}},
            {"existing", IsAlreadyExisting, {E(std::errc::file_exists)}},
            {"cross device", IsCrossDevice, {E(std::errc::cross_device_link)}},
            {"no links",
             IsLinkUnsupported,
             {E(std::errc::operation_not_supported), E(std::errc::operation_not_permitted),
              E(std::errc::too_many_links), E(std::errc::cross_device_link)}},
            {"not empty", IsNotEmpty, {E(std::errc::directory_not_empty)}},
            {"unsupported",
             IsUnsupported,
             {E(std::errc::operation_not_supported), E(std::errc::function_not_supported)}},
            {"locked", IsLockedByAnother, {E(std::errc::resource_unavailable_try_again)}},
            {"not a folder", IsNotAFolder, {E(std::errc::not_a_directory), E(std::errc::is_a_directory)}},
        };
#ifdef _WIN32
        const auto system = [](int code) { return std::error_code(code, std::system_category()); };
        const std::vector<std::vector<std::error_code>> windows = {
            {system(2), system(3)},                // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND
            {system(80), system(183)},             // ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS
            {system(17)},                          // ERROR_NOT_SAME_DEVICE
            {system(1), system(50), system(1142)}, // ERROR_INVALID_FUNCTION, _NOT_SUPPORTED, _TOO_MANY_LINKS
            {system(145)},                         // ERROR_DIR_NOT_EMPTY
            {system(1), system(50)},               // ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED
            {system(33)},                          // ERROR_LOCK_VIOLATION
            {system(267)},                         // ERROR_DIRECTORY
        };
#endif
        for (std::size_t i = 0; i < std::size(cases); ++i)
        {
            SCOPED_TRACE(cases[i].name);
            std::vector<std::error_code> yes = cases[i].yes;
#ifdef _WIN32
            yes.insert(yes.end(), windows[i].begin(), windows[i].end());
#endif
            for (const std::error_code& error : yes)
            {
                EXPECT_TRUE(cases[i].predicate(error)) << error.message();
            }
            for (const std::error_code& error : {E(std::errc::io_error), MemoryFileSystem::KilledError(),
                                                 E(std::errc::permission_denied), std::error_code()})
            {
                EXPECT_FALSE(cases[i].predicate(error)) << error.message();
            }
        }
    }

    TEST(SharedFileSystemFunctions, ClassifyWindowsEntriesAndConvertText)
    {
        using QOR::Update::ClassifyWindowsEntry;
        const struct
        {
            std::uint32_t attributes;
            std::uint32_t tag;
            EntryType type;
        } cases[] = {
            {0x20, 0, EntryType::File},
            {0x10, 0, EntryType::Directory},
            {0x410, 0xA0000003, EntryType::DirectoryLink}, // a junction
            {0x410, 0xA000000C, EntryType::DirectoryLink}, // a folder symlink
            {0x420, 0xA000000C, EntryType::FileLink},
            {0x420, 0x9000001A, EntryType::File},      // a cloud placeholder
            {0x410, 0x80000013, EntryType::Directory}, // a deduplicated folder
            {0x20, 0xA000000C, EntryType::File},       // a tag without the reparse attribute
        };
        for (const auto& test : cases)
        {
            EXPECT_EQ(ClassifyWindowsEntry(test.attributes, test.tag), test.type)
                << std::hex << test.attributes << " " << test.tag;
        }

        for (const char* name : {"FAT", "FAT32", "exFAT", "EXFAT"})
        {
            EXPECT_FALSE(QOR::Update::KeepsIdsWhenMovedByName(name)) << name;
        }
        for (const char* name : {"NTFS", "ReFS", "FAT32X", ""})
        {
            EXPECT_TRUE(QOR::Update::KeepsIdsWhenMovedByName(name)) << name;
        }

        EXPECT_EQ(QOR::Update::FromAscii("a/b"), NativeString({'a', '/', 'b'}));
#ifdef _WIN32
        EXPECT_EQ(QOR::Update::ToUtf8(L"\u00e9"), "\xC3\xA9");
        EXPECT_EQ(QOR::Update::ToUtf8(NativeString(1, wchar_t(0xD800))), "\xEF\xBF\xBD");
#else
        EXPECT_EQ(QOR::Update::ToUtf8("\xC3\xA9"), "\xC3\xA9");
        EXPECT_EQ(QOR::Update::ToUtf8("a\xFF"), "a\xEF\xBF\xBD");
#endif
    }
}
