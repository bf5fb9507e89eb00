// The record's format and the path rules: what may be read back as a record, which paths a record may
// name, in what order a plan installs, where a staged link leads, which names may be short names, and the
// small Windows decisions (what a listing says an entry is, which attributes a read-only change sets, what
// makes an entry a link under Wine) that both platforms' tests cover.

#include <apply/JournalFormat.h>
#include <apply/PathRules.h>

#include <qor/Utility/LauncherProtocol.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace QOR::Testing
{
    namespace
    {
        using Update::EntryType;
        using Update::FromAscii;
        using Update::NativeChar;
        using Update::NativeString;
        namespace Format = Update::JournalFormat;

        NativeString Native(const char* path)
        {
            return std::filesystem::path(path).make_preferred().native();
        }

        // Windows' FILE_ATTRIBUTE_* bits, for the small Windows decisions.
        namespace Attribute
        {
            constexpr std::uint32_t ReadOnly = 0x1;
            constexpr std::uint32_t Hidden = 0x2;
            constexpr std::uint32_t Directory = 0x10;
            constexpr std::uint32_t Archive = 0x20;
            constexpr std::uint32_t Normal = 0x80;
            constexpr std::uint32_t Sparse = 0x200;
            constexpr std::uint32_t ReparsePoint = 0x400;
            constexpr std::uint32_t Compressed = 0x800;
            constexpr std::uint32_t NotIndexed = 0x2000;
        }

        // Windows' IO_REPARSE_TAG_* values.
        namespace ReparseTag
        {
            constexpr std::uint32_t Symlink = 0xA000000C;
            constexpr std::uint32_t MountPoint = 0xA0000003;
            constexpr std::uint32_t CloudFiles = 0x9000001A;
            constexpr std::uint32_t Dedup = 0x80000013;
        }

        Update::UpdatePlan SamplePlan()
        {
            Update::UpdatePlan plan;
            plan.SetTag(0xfedcba9876543210ull);
            plan.SetRootDevice(0x0123456789abcdefull);
            plan.AddReplacingEntry(Native("bin/core.dll"), Update::EntryKind::File, {1, 2}, {1, 3});
            plan.AddFolder(Native("new"));
            plan.AddFolder(Native("new/deeper"));
            plan.AddEntry(Native("new/deeper/x.pak"), Update::EntryKind::Link, {4, 0xffffffffffffffffull});
            plan.AddReplacingEntry(Native("data.pak"), Update::EntryKind::LinkedContent, {5, 6}, {7, 8});
            plan.SetReadOnly(0, true, true);
            plan.SetReadOnly(2, false, true);
            return plan;
        }

        TEST(RecordFormatTest, RoundTripsAndRejectsEveryTornOrAlteredRecord)
        {
            const Update::UpdatePlan plan = SamplePlan();
            const std::string bytes = Format::Serialize(plan);

            Update::UpdatePlan read;
            ASSERT_EQ(Format::Parse(bytes, read), Format::ParseResult::Whole);
            EXPECT_EQ(read.GetTag(), plan.GetTag());
            EXPECT_EQ(read.GetRootDevice(), plan.GetRootDevice());
            ASSERT_EQ(read.EntryCount(), 3U);
            ASSERT_EQ(read.FolderCount(), 2U);
            for (std::size_t i = 0; i < 3; ++i)
            {
                EXPECT_EQ(read.Path(i), plan.Path(i));
                EXPECT_EQ(read.Entry(i).kind, plan.Entry(i).kind);
                EXPECT_EQ(read.Entry(i).bIsReplacing, plan.Entry(i).bIsReplacing);
                EXPECT_EQ(read.Entry(i).bIsTargetReadOnly, plan.Entry(i).bIsTargetReadOnly);
                EXPECT_EQ(read.Entry(i).bIsStagedReadOnly, plan.Entry(i).bIsStagedReadOnly);
                EXPECT_EQ(read.Entry(i).staged, plan.Entry(i).staged);
                EXPECT_EQ(read.Entry(i).installed, plan.Entry(i).installed);
            }
            EXPECT_EQ(read.FolderPath(1), Native("new/deeper"));
            EXPECT_EQ(read.Folder(1).entry, 1U);

            // A power cut can leave any prefix; a disk can flip any byte. Neither may pass for a plan, and a
            // prefix is still recognized as this program's.
            for (std::size_t length = 0; length < bytes.size(); ++length)
            {
                EXPECT_EQ(Format::Parse(bytes.substr(0, length), read), Format::ParseResult::Damaged) << length;
                EXPECT_TRUE(Format::LooksLikeRecordStart(bytes.substr(0, length))) << length;
            }
            for (std::size_t at = 0; at < bytes.size(); ++at)
            {
                std::string altered = bytes;
                altered[at] = static_cast<char>(altered[at] ^ 0x20);
                EXPECT_EQ(Format::Parse(altered, read), Format::ParseResult::Damaged) << "byte " << at;
            }
            EXPECT_EQ(Format::Parse(bytes + "x", read), Format::ParseResult::Damaged);
            EXPECT_FALSE(Format::LooksLikeRecordStart("a player's notes"));
            // Data a power cut kept from the disk reads as zeros.
            EXPECT_TRUE(Format::LooksLikeRecordStart(std::string(4096, '\0')));

            // A replaced file's attribute for an entry that replaces nothing is no record of this program.
            Update::UpdatePlan nonsense;
            nonsense.AddEntry(Native("new.dll"), Update::EntryKind::File, {1, 1});
            nonsense.SetReadOnly(0, false, true);
            EXPECT_EQ(Format::Parse(Format::Serialize(nonsense), read), Format::ParseResult::Damaged);
        }

        // A link's content is copied through the link, so the copies go first, before any move could take
        // what they lead to out of the staging folder; then names of a short name's form, before a long name
        // installed earlier could be given that short name; every folder is still made before the first
        // entry in it, parents first.
        TEST(RecordFormatTest, CopiesOfLinkedContentThenShortFormNamesComeFirstWithTheirFolders)
        {
            using Update::EntryKind;
            Update::UpdatePlan plan;
            plan.AddEntry(Native("m.dll"), EntryKind::File, {1, 1});
            plan.AddFolder(Native("a"));
            plan.AddEntry(Native("a/x.dll"), EntryKind::File, {1, 2});
            plan.AddFolder(Native("a/b"));
            plan.AddEntry(Native("a/b/m.lnk"), EntryKind::LinkedContent, {1, 3});
            plan.AddFolder(Native("c"));
            plan.AddEntry(Native("c/y.dll"), EntryKind::File, {1, 4});
            plan.AddEntry(Native("c/Y~1.DLL"), EntryKind::File, {1, 6});
            plan.AddEntry(Native("z.lnk"), EntryKind::LinkedContent, {1, 5});

            plan.PutInInstallOrder();

            std::vector<NativeString> entries;
            for (std::size_t i = 0; i < plan.EntryCount(); ++i)
            {
                entries.emplace_back(plan.Path(i));
            }
            EXPECT_EQ(entries, (std::vector<NativeString>{Native("a/b/m.lnk"), Native("z.lnk"), Native("c/Y~1.DLL"),
                                                          Native("m.dll"), Native("a/x.dll"), Native("c/y.dll")}));
            std::vector<std::pair<NativeString, std::uint32_t>> folders;
            for (std::size_t i = 0; i < plan.FolderCount(); ++i)
            {
                folders.emplace_back(plan.FolderPath(i), plan.Folder(i).entry);
            }
            EXPECT_EQ(folders, (std::vector<std::pair<NativeString, std::uint32_t>>{
                                   {Native("a"), 0}, {Native("a/b"), 0}, {Native("c"), 2}}));
        }

        // A record with a valid checksum is still input: no path in it may leave the installation.
        TEST(RecordFormatTest, RecordsNamingPathsOutsideTheInstallationAreDamaged)
        {
            const char* const unsafe[] = {"../outside", "bin/../../x", "/etc/passwd", "bin//x",
                                          "./x",        "bin/.",       "x/",          ""};
            for (const char* path : unsafe)
            {
                for (const bool asFolder : {false, true})
                {
                    Update::UpdatePlan plan;
                    plan.SetTag(1);
                    if (asFolder)
                    {
                        plan.AddFolder(FromAscii(path));
                    }
                    plan.AddEntry(Native("ok.txt"), Update::EntryKind::File, {1, 1});
                    if (!asFolder)
                    {
                        plan.AddEntry(FromAscii(path), Update::EntryKind::File, {1, 2});
                    }
                    Update::UpdatePlan read;
                    EXPECT_EQ(Format::Parse(Format::Serialize(plan), read), Format::ParseResult::Damaged)
                        << path << (asFolder ? " as a folder" : " as an entry");
                }
            }
            if constexpr (Update::Separator == '\\')
            {
                // Another drive, the other separator, a stream, a share.
                for (const char* path : {"C:\\x", "bin/x", "file.txt:stream", "\\\\server\\share"})
                {
                    EXPECT_FALSE(Update::IsSafeRelative(FromAscii(path))) << path;
                }
            }
            EXPECT_TRUE(Update::IsSafeRelative(Native("bin/deep/core.dll")));
            EXPECT_TRUE(Update::IsSafeRelative(FromAscii("..hidden")));
        }

        TEST(RecordFormatTest, WorkingNamesCarryTheTagAndParseBack)
        {
            std::uint64_t tag = 0;
            EXPECT_TRUE(Format::ParseWorkFolderName(Format::WorkFolderName(0x00ab00cd00ef0012ull), tag));
            EXPECT_EQ(tag, 0x00ab00cd00ef0012ull);
            for (const char* name : {".qor-0123456789abcde", ".qor-0123456789abcdefa", ".qor-0123456789ABCDEF",
                                     "qor-0123456789abcdef", ".qor-0123456789abcdeg", ".qor-0123456789abcdef-1b"})
            {
                EXPECT_FALSE(Format::ParseWorkFolderName(FromAscii(name), tag)) << name;
            }
            EXPECT_EQ(Format::WorkingFileName(0x1ull, 42, 'b'), FromAscii(".qor-0000000000000001-42b"));
        }

        TEST(PathRulesTest, LinksLeadWhereTheirTextSaysOrOutOfTheTree)
        {
            struct Case
            {
                const char* link;
                const char* text;
                const char* destination; // nullptr: out of the tree
            };
            const Case cases[] = {
                {"bin/libfoo.so", "libfoo.so.2", "bin/libfoo.so.2"},
                {"bin/libfoo.so", "./libfoo.so.2", "bin/libfoo.so.2"},
                {"bin/libfoo.so", "../lib/libfoo.so.2", "lib/libfoo.so.2"},
                {"bin/a", "x/../../b", "b"},
                {"bin/a", "../self_update/x", "self_update/x"},
                {"helper.bin", LauncherProtocol::UpdaterFileName, LauncherProtocol::UpdaterFileName},
                {"bin/a", "", nullptr},
                {"bin/a", "/etc/passwd", nullptr},
                {"bin/a", "../../outside", nullptr},
                {"a", "..", nullptr},
                {"a", ".", nullptr},
            };
            for (const Case& c : cases)
            {
                const std::optional<NativeString> destination =
                    Update::LinkDestination(Native(c.link), FromAscii(c.text));
                if (c.destination == nullptr)
                {
                    EXPECT_FALSE(destination) << c.link << " -> " << c.text;
                }
                else
                {
                    EXPECT_EQ(destination, std::optional<NativeString>(Native(c.destination)))
                        << c.link << " -> " << c.text;
                }
            }
        }

        // Only these names are looked up for a long name they may stand for, so every short name Windows or
        // Wine makes must pass, and common names should not.
        TEST(PathRulesTest, NamesOfAShortNamesFormAreLookedUp)
        {
            for (const char* name : {"QORLAU~1.EXE", "qorlau~1.exe", "QORL~0EO.EXE", "PROGRA~1", "A~1", "AB12CD~1.TXT",
                                     "~1.A", "SELF_U~1.TXT"})
            {
                EXPECT_TRUE(Update::LooksLikeShortName(FromAscii(name))) << name;
            }
            for (const char* name :
                 {"core.dll", "QORLauncher.exe", "QORLAUN~1.EXE.bak", "QORLAUNC~1.EXE", "QORLAU~1.EXEC", "QORLAU~1.",
                  "QOR LA~1.EXE", "QOR*~1.EXE", "A~B+C.TXT", "", "a.b~1", ".~1"})
            {
                EXPECT_FALSE(Update::LooksLikeShortName(FromAscii(name))) << name;
            }
        }

        TEST(PathRulesTest, ReadOnlyChangesKeepEveryOtherSettableAttribute)
        {
            using namespace Attribute;
            const struct
            {
                std::uint32_t attributes;
                bool bIsReadOnly;
                std::uint32_t expected;
            } cases[] = {
                {Archive, true, ReadOnly | Archive},
                {ReadOnly | Archive, false, Archive},
                {ReadOnly, false, Normal}, // nothing left: "normal", as 0 would change nothing
                {Normal, true, ReadOnly},
                {ReadOnly | Hidden | Archive | NotIndexed, false, Hidden | Archive | NotIndexed},
                {Archive | Sparse | Compressed, true, ReadOnly | Archive}, // not settable: not passed on
                {Directory | Hidden, true, ReadOnly | Hidden},
            };
            for (const auto& test : cases)
            {
                EXPECT_EQ(Update::WindowsAttributesWithReadOnly(test.attributes, test.bIsReadOnly), test.expected)
                    << std::hex << test.attributes << " " << test.bIsReadOnly;
            }
        }

        // Under Wine a Linux symbolic link is told by where it leads: not its folder's own place and name.
        TEST(PathRulesTest, AnEntryIsALinkWhenItsFinalPathIsNotItsFolderAndName)
        {
            const auto native = [](const char* path) {
                NativeString text = FromAscii(path);
                std::replace(text.begin(), text.end(), NativeChar('/'), Update::Separator);
                return text;
            };
            const struct
            {
                const char* entryFinal;
                const char* folderFinal;
                const char* name;
                bool bIsLink;
            } cases[] = {
                {"//?/C:/i/self_update/a.dll", "//?/C:/i/self_update", "a.dll", false},
                {"//?/C:/i/self_update/b.dll", "//?/C:/i/self_update", "a.dll", true}, // a link beside
                {"//?/C:/i/b/a.dll", "//?/C:/i/self_update", "a.dll", true},           // elsewhere, same name
                {"//?/Z:/home/p/secret", "//?/C:/i/self_update", "a.dll", true},       // out of the tree
                {"//?/C:/i/self_update/sub", "//?/C:/i/self_update", "sub", false},
                {"//?/C:/a.dll", "//?/C:/", "a.dll", false},                           // at a volume's top
                {"//?/C:/i/self_update/A.DLL", "//?/C:/i/self_update", "a.dll", true}, // another entry's case
                {"//?/C:/i/self_updatexa.dll", "//?/C:/i/self_update", "a.dll", true},
                {"//?/C:/i/self_update/a.dllx", "//?/C:/i/self_update", "a.dll", true},
            };
            for (const auto& test : cases)
            {
                EXPECT_EQ(
                    Update::IsLinkByFinalPath(native(test.entryFinal), native(test.folderFinal), FromAscii(test.name)),
                    test.bIsLink)
                    << test.entryFinal << " in " << test.folderFinal;
            }
        }

        TEST(PathRulesTest, OnlySymbolicLinksAndJunctionsAreLinksInAWindowsListing)
        {
            using namespace Attribute;
            using namespace ReparseTag;
            struct Case
            {
                std::uint32_t attributes;
                std::uint32_t tag;
                EntryType type;
            };
            const Case cases[] = {
                {Archive, 0, EntryType::File},
                {Directory, 0, EntryType::Directory},
                {Archive | ReparsePoint, Symlink, EntryType::FileLink},
                {Directory | ReparsePoint, Symlink, EntryType::DirectoryLink},
                {Directory | ReparsePoint, MountPoint, EntryType::DirectoryLink},
                {Directory | ReparsePoint, CloudFiles, EntryType::Directory},
                {Archive | ReparsePoint, CloudFiles, EntryType::File},
                {Archive | ReparsePoint, Dedup, EntryType::File},
                // A tag without the reparse attribute is left over in the listing's record: no link.
                {Archive, Symlink, EntryType::File},
            };
            for (const Case& c : cases)
            {
                EXPECT_EQ(Update::ClassifyWindowsEntry(c.attributes, c.tag), c.type)
                    << std::hex << c.attributes << " " << c.tag;
            }
        }
    }
}
