// The journal's format and the rules decided before anything changes: links that stay inside the
// tree, and what a Windows listing says an entry is.

#include <FileSystem.h>
#include <UpdatePlan.h>

#include <qor/Utility/LauncherProtocol.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace QOR::Testing
{
    namespace
    {
        using Update::NativeString;
        using Update::FileSystem::EntryType;

        NativeString Native(const char* path)
        {
            return std::filesystem::path(path).make_preferred().native();
        }

        Update::UpdatePlan SamplePlan()
        {
            Update::UpdatePlan plan;
            plan.SetTag(0xfedcba9876543210ull);
            plan.AddEntry(Native("bin/core.dll"), Native("bin/core.dll"), Update::EntryKind::File, true);
            plan.AddFolder(Native("new"));
            plan.AddFolder(Native("new/deeper"));
            plan.AddEntry(Native("new/deeper/x.pak"), Native("new/deeper/x.pak"), Update::EntryKind::Link, false);
            plan.AddEntry(Native("data.pak"), Native("data.pak/data.pak"), Update::EntryKind::LinkedContent, true);
            return plan;
        }

        TEST(UpdateJournalTest, RoundTripsAndRejectsEveryTornOrAlteredJournal)
        {
            const Update::UpdatePlan plan = SamplePlan();
            const std::string bytes = plan.Serialize();

            Update::UpdatePlan read;
            ASSERT_TRUE(Update::UpdatePlan::Parse(bytes, read));
            EXPECT_EQ(read.GetTag(), plan.GetTag());
            ASSERT_EQ(read.EntryCount(), 3U);
            ASSERT_EQ(read.FolderCount(), 2U);
            for (std::size_t i = 0; i < 3; ++i)
            {
                EXPECT_EQ(read.Source(i), plan.Source(i));
                EXPECT_EQ(read.Target(i), plan.Target(i));
                EXPECT_EQ(read.Entry(i).kind, plan.Entry(i).kind);
                EXPECT_EQ(read.Entry(i).bIsReplacing, plan.Entry(i).bIsReplacing);
            }
            EXPECT_EQ(read.FolderPath(1), Native("new/deeper"));
            EXPECT_EQ(read.Folder(1).entry, 1U);

            // A power cut can leave any prefix; a disk can flip any byte. Neither may pass for a plan.
            for (std::size_t length = 0; length < bytes.size(); ++length)
            {
                EXPECT_FALSE(Update::UpdatePlan::Parse(bytes.substr(0, length), read)) << "prefix of " << length;
            }
            for (std::size_t at = 0; at < bytes.size(); ++at)
            {
                std::string altered = bytes;
                altered[at] = static_cast<char>(altered[at] ^ 0x20);
                EXPECT_FALSE(Update::UpdatePlan::Parse(altered, read)) << "byte " << at;
            }
            EXPECT_FALSE(Update::UpdatePlan::Parse(bytes + "x", read));
        }

        TEST(UpdateJournalTest, DroppedEntriesHandTheirFoldersToTheNextEntry)
        {
            Update::UpdatePlan plan;
            plan.AddFolder(Native("a"));
            plan.AddEntry(Native("a/x"), Native("a/x"), Update::EntryKind::File, false);
            plan.AddEntry(Native("b"), Native("b"), Update::EntryKind::File, false);
            plan.DropEntry(0);
            plan.Compact();

            ASSERT_EQ(plan.EntryCount(), 1U);
            EXPECT_EQ(plan.Source(0), Native("b"));
            EXPECT_EQ(plan.Folder(0).entry, 0U);
        }

        TEST(UpdateJournalTest, WorkingNamesCarryTheTagAndParseBack)
        {
            std::uint64_t tag = 0;
            EXPECT_TRUE(Update::ParseWorkFolderName(Update::WorkFolderName(0x00ab00cd00ef0012ull), tag));
            EXPECT_EQ(tag, 0x00ab00cd00ef0012ull);
            for (const char* name : {".qor-0123456789abcde", ".qor-0123456789abcdefa", ".qor-0123456789ABCDEF",
                                     "qor-0123456789abcdef", ".qor-0123456789abcdeg", ".qor-0123456789abcdef-1b"})
            {
                EXPECT_FALSE(Update::ParseWorkFolderName(Update::FileSystem::FromAscii(name), tag)) << name;
            }
            EXPECT_EQ(Update::WorkingFileName(0x1ull, 42, 'b'),
                      Update::FileSystem::FromAscii(".qor-0000000000000001-42b"));
        }

        TEST(UpdateLinkRuleTest, OnlyLinksThatStayInsideTheInstalledTreeAreAccepted)
        {
            struct Case
            {
                const char* link;
                const char* text;
                bool bIsInside;
            };
            const Case cases[] = {
                {"bin/libfoo.so", "libfoo.so.2", true},
                {"bin/libfoo.so", "./libfoo.so.2", true},
                {"bin/libfoo.so", "../lib/libfoo.so.2", true},
                {"bin/a", "x/../../b", true},
                {"bin/a", "", false},
                {"bin/a", "/etc/passwd", false},
                {"bin/a", "../../outside", false},
                {"a", "..", false},
                {"a", ".", false},
                {"bin/a", "../self_update/x", false},
                {"bin/a", "../bin/../self_update", false},
                {"helper.bin", LauncherProtocol::UpdaterFileName, true},
            };
            for (const Case& c : cases)
            {
                EXPECT_EQ(Update::LinkStaysInside(Native(c.link), Update::FileSystem::FromAscii(c.text),
                                                  Update::FileSystem::FromAscii(LauncherProtocol::StagingFolderName)),
                          c.bIsInside)
                    << c.link << " -> " << c.text;
            }
        }

        TEST(WindowsEntryTest, OnlySymbolicLinksAndJunctionsAreLinks)
        {
            constexpr std::uint32_t Directory = 0x10;
            constexpr std::uint32_t ReparsePoint = 0x400;
            constexpr std::uint32_t Archive = 0x20;
            constexpr std::uint32_t Symlink = 0xA000000C;
            constexpr std::uint32_t MountPoint = 0xA0000003;
            constexpr std::uint32_t CloudFiles = 0x9000001A;
            constexpr std::uint32_t Dedup = 0x80000013;
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
                EXPECT_EQ(Update::FileSystem::ClassifyWindowsEntry(c.attributes, c.tag), c.type)
                    << std::hex << c.attributes << " " << c.tag;
            }
        }
    }
}
