#include "MemoryFileSystem.h"

#include <qor/Foundation/Utf8.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace QOR::Testing
{
    using Update::EntryStatus;
    using Update::EntryType;
    using Update::FileId;
    using Update::NativeChar;
    using Update::NativeString;
    using Update::RenameMode;
    using Update::Separator;

    namespace
    {
        using NodeNumber = std::uint64_t;
        constexpr NodeNumber RootNode = 1;
        constexpr std::uint64_t RootDevice = 1;
        // Past this many links in one resolution, the answer is ELOOP, as Linux's limit of 40.
        constexpr int MostLinksFollowed = 40;

#ifdef _WIN32
        constexpr bool IsWindows = true;
        constexpr std::uint32_t FileAttributes = 0x20;   // FILE_ATTRIBUTE_ARCHIVE, as a new file gets it
        constexpr std::uint32_t FolderAttributes = 0x10; // FILE_ATTRIBUTE_DIRECTORY
        constexpr std::uint32_t LinkAttributes = 0x420;  // FILE_ATTRIBUTE_REPARSE_POINT | _ARCHIVE
        constexpr std::uint32_t FolderLinkAttributes = 0x410;
#else
        constexpr bool IsWindows = false;
        constexpr std::uint32_t FileAttributes = 0644;
        constexpr std::uint32_t FolderAttributes = 0755;
        constexpr std::uint32_t LinkAttributes = 0777;
        constexpr std::uint32_t FolderLinkAttributes = 0777;
#endif

        std::error_code Error(std::errc code)
        {
            return std::make_error_code(code);
        }

        bool IsLinkType(EntryType type)
        {
            return type == EntryType::FileLink || type == EntryType::DirectoryLink;
        }

        bool IsSeparator(NativeChar c)
        {
            return c == NativeChar('/') || (IsWindows && c == NativeChar('\\'));
        }

        // Helper texts: UTF-8 on Windows, bytes on Linux, as names are there.
        NativeString NativeFromText(std::string_view text)
        {
#ifdef _WIN32
            const std::u16string wide = DecodeUtf8(text);
            return NativeString(wide.begin(), wide.end());
#else
            return NativeString(text);
#endif
        }

        std::string TextFromNative(const NativeString& native)
        {
#ifdef _WIN32
            return Update::ToUtf8(native);
#else
            return native;
#endif
        }

        std::vector<NativeString> SplitNames(Update::NativeView path)
        {
            std::vector<NativeString> names;
            std::size_t start = 0;
            for (std::size_t i = 0; i <= path.size(); ++i)
            {
                if (i == path.size() || IsSeparator(path[i]))
                {
                    if (i > start)
                    {
                        names.emplace_back(path.substr(start, i - start));
                    }
                    start = i + 1;
                }
            }
            return names;
        }

        // Whether `path` is `root` or starts with it and a separator; `rest` is what follows.
        bool StartsWithRoot(const NativeString& path, const NativeString& root, Update::NativeView& rest)
        {
            if (root.empty() || path.compare(0, root.size(), root) != 0)
            {
                return false;
            }
            if (path.size() == root.size())
            {
                rest = {};
                return true;
            }
            if (!IsSeparator(path[root.size()]))
            {
                return false;
            }
            rest = Update::NativeView(path).substr(root.size() + 1);
            return true;
        }

        bool IsAbsoluteText(const NativeString& text)
        {
            if (!text.empty() && IsSeparator(text[0]))
            {
                return true;
            }
            return IsWindows && text.size() >= 2 && text[1] == NativeChar(':');
        }

        struct Entry
        {
            NativeString name;
            NodeNumber node = 0;
            NativeString shortName; // a second name of the entry where names are case-insensitive; may be empty
        };

        struct Node
        {
            EntryType type = EntryType::File;
            std::uint64_t device = RootDevice;
            std::uint32_t attributes = FileAttributes;
            std::uint32_t names = 0; // folder entries that name it; the node goes with the last
            std::string data;
            NativeString linkText;
            std::vector<Entry> entries; // a folder's, in the order they were made
            bool bIsReadOnlyFolder = false;
            bool bIsUnreadable = false;
            bool bIsReadOnly = false;       // a file's read-only attribute
            bool bIsNeverRemovable = false; // what Wine shows of a Linux link: removing it is unsupported
        };

        struct Tree
        {
            std::unordered_map<NodeNumber, Node> nodes;
            bool bGeneratesShortNames = false; // each new long name gets a short one, as NTFS and FAT give

            Node& At(NodeNumber number) { return nodes.at(number); }
            const Node& At(NodeNumber number) const { return nodes.at(number); }
        };

        NativeString Fold(const NativeString& name, bool bIsCaseInsensitive)
        {
            if (!bIsCaseInsensitive)
            {
                return name;
            }
            NativeString folded = name;
            for (NativeChar& c : folded)
            {
                if (c >= NativeChar('a') && c <= NativeChar('z'))
                {
                    c = static_cast<NativeChar>(c - NativeChar('a') + NativeChar('A'));
                }
            }
            return folded;
        }

        std::ptrdiff_t FindEntry(const Node& folder, const NativeString& name, bool bIsCaseInsensitive)
        {
            const NativeString folded = Fold(name, bIsCaseInsensitive);
            for (std::size_t i = 0; i < folder.entries.size(); ++i)
            {
                const Entry& entry = folder.entries[i];
                if (Fold(entry.name, bIsCaseInsensitive) == folded ||
                    (bIsCaseInsensitive && !entry.shortName.empty() && Fold(entry.shortName, true) == folded))
                {
                    return static_cast<std::ptrdiff_t>(i);
                }
            }
            return -1;
        }

        // The node the folder's entry `name` names; 0 when there is none.
        NodeNumber FindNode(const Tree& tree, NodeNumber folder, const NativeString& name, bool bIsCaseInsensitive)
        {
            const Node& node = tree.At(folder);
            const std::ptrdiff_t index = FindEntry(node, name, bIsCaseInsensitive);
            return index < 0 ? 0 : node.entries[static_cast<std::size_t>(index)].node;
        }

        Node FolderNode()
        {
            Node folder;
            folder.type = EntryType::Directory;
            folder.attributes = FolderAttributes;
            return folder;
        }

        bool IsShortNameChar(NativeChar c)
        {
            const auto code = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<NativeChar>>(c));
            constexpr std::string_view Excluded = "\"*+,./:;<=>?[\\]| ";
            return code > 0x20 && code < 0x7F && Excluded.find(static_cast<char>(code)) == std::string_view::npos;
        }

        // The first free "BASE~N.EXT" of a name that is no 8.3 name already (Windows' first four tries).
        NativeString GeneratedShortName(const Node& folder, const NativeString& name)
        {
            const std::size_t dot = name.rfind(NativeChar('.'));
            const NativeString base = name.substr(0, dot == 0 ? NativeString::npos : dot);
            const NativeString extension =
                dot == 0 || dot == NativeString::npos ? NativeString() : name.substr(dot + 1);
            const auto isPlain = [](const NativeString& part, std::size_t most) {
                return part.size() <= most && std::all_of(part.begin(), part.end(), IsShortNameChar);
            };
            if (!base.empty() && isPlain(base, 8) && isPlain(extension, 3) &&
                (dot == NativeString::npos || !extension.empty()))
            {
                return {};
            }
            const auto kept = [](const NativeString& part, std::size_t most) {
                NativeString out;
                for (const NativeChar c : part)
                {
                    if (out.size() < most && IsShortNameChar(c))
                    {
                        out.push_back(c);
                    }
                }
                return Fold(out, true);
            };
            const NativeString stem = kept(base, 6);
            const NativeString suffix = extension.empty() ? NativeString() : NativeChar('.') + kept(extension, 3);
            for (char n = '1'; n <= '4'; ++n)
            {
                const NativeString candidate = stem + NativeChar('~') + NativeChar(n) + suffix;
                if (FindEntry(folder, candidate, true) < 0)
                {
                    return candidate;
                }
            }
            return {};
        }

        // The edits every metadata change is made of. They name entries by folder and stored name, so a
        // change replays alike on the live tree and, after a power cut, on the durable one.
        void AddEntry(Tree& tree, NodeNumber folder, const NativeString& name, NodeNumber node)
        {
            NativeString shortName;
            if (tree.bGeneratesShortNames)
            {
                shortName = GeneratedShortName(tree.At(folder), name);
            }
            tree.At(folder).entries.push_back({name, node, shortName});
            ++tree.At(node).names;
        }

        std::vector<Entry>::iterator EntryNamed(Tree& tree, NodeNumber folder, const NativeString& storedName)
        {
            std::vector<Entry>& entries = tree.At(folder).entries;
            return std::find_if(entries.begin(), entries.end(),
                                [&](const Entry& entry) { return entry.name == storedName; });
        }

        void RemoveEntry(Tree& tree, NodeNumber folder, const NativeString& storedName)
        {
            std::vector<Entry>& entries = tree.At(folder).entries;
            const auto entry = EntryNamed(tree, folder, storedName);
            const NodeNumber node = entry->node;
            entries.erase(entry);
            if (--tree.At(node).names == 0)
            {
                tree.nodes.erase(node);
            }
        }

        using Change = std::function<void(Tree&)>;

        // A folder on the way of a resolution, with its stored name (empty for the root).
        struct Step
        {
            NodeNumber node = RootNode;
            NativeString name;
        };

        struct Found
        {
            std::vector<Step> folders; // from the root to the folder holding the entry; empty for the root
            NativeString name;         // as the path gives it
            std::ptrdiff_t index = -1; // in the last folder; -1 when there is no such entry
            NodeNumber node = 0;       // 0 when there is no such entry

            bool IsRoot() const { return folders.empty(); }
            NodeNumber Folder() const { return folders.back().node; }
        };

        // How an operation finds the entry its path names: the errors it gives after those of the resolution
        // and before its own. A change checks the root first (the error the operation gives for it), then
        // the folder (no entry of a read-only folder can be made or removed, not even a missing one), then
        // the name (taken or free); a new name beside an entry (a link, a copy) is checked before the folder.
        enum class Finding : std::uint8_t
        {
            Existing,         // the entry itself: "not found" when there is none
            ExistingFollowed, // what the path finally names, through links: "not found" when nothing
            FileToRemove,     // a change; the root "is a directory"; no entry "not found"
            FolderToRemove,   // a change; the root an "invalid argument"; no entry "not found"
            NewEntry,         // a change; the root or a taken name "exists"
            FreeName,         // the root or a taken name "exists", then a read-only folder "permission denied"
        };

        struct Holding
        {
            std::optional<unsigned> releaseAfterAttempts;
            unsigned attempts = 0;
            std::string holders;
        };

        struct LockEntry
        {
            std::uint64_t token = 0;
            bool bIsAnotherProcess = false;
        };

        using LockTable = std::map<NodeNumber, LockEntry>;

        struct Process
        {
            bool bIsDead = false;
        };

        // A shared object that a copy of its owner duplicates: listings, readers and locks refer to it
        // weakly, so they see their own file system's state, and none once it is gone.
        template<class T>
        class Owned
        {
        public:
            Owned() : _object(std::make_shared<T>()) {}
            Owned(const Owned& other) : _object(std::make_shared<T>(*other._object)) {}
            Owned& operator=(const Owned& other)
            {
                _object = std::make_shared<T>(*other._object);
                return *this;
            }

            T& operator*() const { return *_object; }
            T* operator->() const { return _object.get(); }
            std::weak_ptr<T> Weak() const { return _object; }
            void Renew() { _object = std::make_shared<T>(); }

        private:
            std::shared_ptr<T> _object;
        };
    }

    struct MemoryFileSystem::State
    {
        // Options.
        NativeString root = Update::FromAscii(".");
        std::string displayRoot;
        bool bIsCaseInsensitive = IsWindows;
        bool bIsExchangeSupported = true;
        bool bAreHardLinksSupported = true;
        bool bFlushesEachFile = IsWindows;
        bool bAreIdsPositional = false;
        bool bAreSymbolicLinksSupported = !IsWindows;

        // The disk: what a process sees, and what would survive a power cut.
        Tree live;
        Tree durable;
        std::vector<Change> pending; // metadata changes since `durable`, in order
        std::unordered_map<NodeNumber, std::string> durableData;
        NodeNumber nextNode = RootNode + 1;
        std::uint64_t nextDevice = RootDevice + 1;
        // How the machine numbers its devices now (RenumberDevices): added to every device it reports.
        std::uint64_t deviceNumbering = 0;

        // Other programs on the machine.
        std::map<NodeNumber, Holding> held;
        std::set<NodeNumber> mapped;
        Owned<LockTable> locks;
        std::uint64_t nextLockToken = 1;

        // The process the operations come from.
        Owned<Process> process;
        bool bIsPowerCut = false;
        bool bIsDurabilitySuppressed = false;

        FaultPlan plan;
        bool bHasStruck = false;
        std::uint64_t operations = 0;
        std::uint64_t changes = 0;
        std::vector<OperationRecord> records;

        std::mt19937_64 random{0x5153'4f52'4d45'4dULL};
        std::deque<std::uint64_t> forcedRandom;

        State()
        {
            Node root = FolderNode();
            root.names = 1; // the root is never removed
            live.nodes.emplace(RootNode, root);
            durable = live;
        }

        // --- Resolution.

        // Resolves `names` from the folders `chain`; links are followed on the way, and at the end when
        // `bFollowLast`.
        std::error_code Walk(std::vector<Step> chain, const std::vector<NativeString>& names, bool bFollowLast,
                             int& linksFollowed, Found& found) const
        {
            static const NativeString Dot = Update::FromAscii(".");
            static const NativeString DotDot = Update::FromAscii("..");
            for (std::size_t i = 0; i < names.size(); ++i)
            {
                const NativeString& name = names[i];
                const bool bIsLast = i + 1 == names.size();
                if (name == Dot)
                {
                    continue;
                }
                if (name == DotDot)
                {
                    if (chain.size() > 1)
                    {
                        chain.pop_back();
                    }
                    continue;
                }
                const Node& folder = live.At(chain.back().node);
                const std::ptrdiff_t index = FindEntry(folder, name, bIsCaseInsensitive);
                if (index < 0)
                {
                    if (!bIsLast)
                    {
                        return Error(std::errc::no_such_file_or_directory);
                    }
                    found = {chain, name, -1, 0};
                    return {};
                }
                const Entry& entry = folder.entries[static_cast<std::size_t>(index)];
                const Node& node = live.At(entry.node);
                if (IsLinkType(node.type) && (!bIsLast || bFollowLast))
                {
                    if (++linksFollowed > MostLinksFollowed)
                    {
                        return Error(std::errc::too_many_symbolic_link_levels);
                    }
                    Found target;
                    if (const std::error_code error = FollowLink(chain, node.linkText, linksFollowed, target))
                    {
                        return error;
                    }
                    if (bIsLast)
                    {
                        found = std::move(target);
                        return {};
                    }
                    if (target.node == 0)
                    {
                        return Error(std::errc::no_such_file_or_directory);
                    }
                    if (live.At(target.node).type != EntryType::Directory)
                    {
                        return Error(std::errc::not_a_directory);
                    }
                    chain = target.folders;
                    chain.push_back({target.node, StoredName(target)});
                    continue;
                }
                if (bIsLast)
                {
                    found = {chain, name, index, entry.node};
                    return {};
                }
                if (node.type != EntryType::Directory)
                {
                    return Error(std::errc::not_a_directory);
                }
                chain.push_back({entry.node, entry.name});
            }
            // The path ends with a folder it went through: the root, or a "." or "..".
            const Step last = chain.back();
            chain.pop_back();
            found = {chain, last.name, -1, last.node};
            if (!found.IsRoot())
            {
                found.index = FindEntry(live.At(found.Folder()), last.name, bIsCaseInsensitive);
            }
            return {};
        }

        std::error_code FollowLink(const std::vector<Step>& linkFolders, const NativeString& text, int& linksFollowed,
                                   Found& target) const
        {
            Update::NativeView rest;
            if (StartsWithRoot(text, root, rest) && IsAbsoluteText(root))
            {
                return Walk({Step{}}, SplitNames(rest), true, linksFollowed, target);
            }
            if (IsAbsoluteText(text))
            {
                return Walk({Step{}}, SplitNames(text), true, linksFollowed, target);
            }
            return Walk(linkFolders, SplitNames(text), true, linksFollowed, target);
        }

        std::error_code Resolve(const NativeString& path, bool bFollowLast, Found& found) const
        {
            Update::NativeView rest = path;
            StartsWithRoot(path, root, rest);
            int linksFollowed = 0;
            return Walk({Step{}}, SplitNames(rest), bFollowLast, linksFollowed, found);
        }

        // The two paths of an operation, in order, neither followed at its end.
        std::error_code ResolveBoth(const NativeString& first, const NativeString& second, Found& firstFound,
                                    Found& secondFound) const
        {
            if (const std::error_code error = Resolve(first, false, firstFound))
            {
                return error;
            }
            return Resolve(second, false, secondFound);
        }

        // The one resolution of an operation on one path, with the checks of `finding` (see Finding).
        std::error_code Find(const NativeString& path, Finding finding, Found& found) const
        {
            if (const std::error_code error = Resolve(path, finding == Finding::ExistingFollowed, found))
            {
                return error;
            }
            switch (finding)
            {
            case Finding::Existing:
            case Finding::ExistingFollowed:
                return found.node == 0 ? Error(std::errc::no_such_file_or_directory) : std::error_code();
            case Finding::FileToRemove:
                return CheckChange(found, std::errc::is_a_directory, true);
            case Finding::FolderToRemove:
                return CheckChange(found, std::errc::invalid_argument, true);
            case Finding::NewEntry:
                return CheckChange(found, std::errc::file_exists, false);
            case Finding::FreeName:
                return CheckFreeName(found);
            }
            return {};
        }

        bool IsInReadOnlyFolder(const Found& found) const { return live.At(found.Folder()).bIsReadOnlyFolder; }

        // The checks of a change to the entry `found` names, in the order of Finding; `bIsRemoval`: the entry
        // must exist, else its name must be free.
        std::error_code CheckChange(const Found& found, std::errc rootError, bool bIsRemoval) const
        {
            if (found.IsRoot())
            {
                return Error(rootError);
            }
            if (IsInReadOnlyFolder(found))
            {
                return Error(std::errc::permission_denied);
            }
            if (bIsRemoval && found.node == 0)
            {
                return Error(std::errc::no_such_file_or_directory);
            }
            if (!bIsRemoval && found.node != 0)
            {
                return Error(std::errc::file_exists);
            }
            return {};
        }

        // A new name beside an entry (a hard link, a copy): the name first, then its folder.
        std::error_code CheckFreeName(const Found& found) const
        {
            if (found.IsRoot() || found.node != 0)
            {
                return Error(std::errc::file_exists);
            }
            return IsInReadOnlyFolder(found) ? Error(std::errc::permission_denied) : std::error_code();
        }

        NativeString StoredName(const Found& found) const
        {
            if (found.IsRoot() || found.index < 0)
            {
                return found.name;
            }
            return live.At(found.Folder()).entries[static_cast<std::size_t>(found.index)].name;
        }

        // --- Changes and durability.

        void Commit(Change change)
        {
            change(live);
            pending.push_back(std::move(change));
        }

        NodeNumber Create(Node node, NodeNumber folder, const NativeString& name)
        {
            const NodeNumber number = nextNode++;
            std::string data = std::move(node.data);
            node.data.clear();
            node.names = 0;
            node.device = live.At(folder).device;
            Commit([number, node, folder, name](Tree& tree) {
                tree.nodes.emplace(number, node);
                AddEntry(tree, folder, name, number);
            });
            live.At(number).data = std::move(data);
            return number;
        }

        // Takes the entry `found` names out of its folder.
        void CommitRemoval(const Found& found)
        {
            const NodeNumber folder = found.Folder();
            const NativeString name = StoredName(found);
            Commit([=](Tree& tree) { RemoveEntry(tree, folder, name); });
        }

        void CommitReadOnly(NodeNumber number, bool bIsReadOnly)
        {
            Commit([=](Tree& tree) { tree.At(number).bIsReadOnly = bIsReadOnly; });
        }

        void MakeDataDurable(NodeNumber number)
        {
            if (!bIsDurabilitySuppressed)
            {
                durableData[number] = live.At(number).data;
            }
        }

        void MakeMetadataDurable()
        {
            if (bIsDurabilitySuppressed)
            {
                return;
            }
            durable = live;
            pending.clear();
            // Data of files that no longer exist anywhere can go.
            std::erase_if(durableData, [&](const auto& item) { return !durable.nodes.contains(item.first); });
        }

        void MakeEverythingDurable()
        {
            MakeMetadataDurable();
            for (const auto& [number, node] : live.nodes)
            {
                if (node.type == EntryType::File)
                {
                    durableData[number] = node.data;
                }
            }
        }

        // --- Other programs.

        std::error_code CheckHeld(NodeNumber node)
        {
            const auto holding = held.find(node);
            if (holding == held.end())
            {
                return {};
            }
            ++holding->second.attempts;
            if (holding->second.releaseAfterAttempts &&
                holding->second.attempts >= *holding->second.releaseAfterAttempts)
            {
                held.erase(holding);
            }
            return Error(std::errc::device_or_resource_busy);
        }

        // --- Helpers' paths.

        Found FindForHelper(std::string_view relative) const
        {
            Found found;
            if (const std::error_code error = Resolve(NativeFromText(relative), false, found))
            {
                throw std::invalid_argument("MemoryFileSystem: cannot resolve " + std::string(relative) + ": " +
                                            error.message());
            }
            return found;
        }

        NodeNumber ExistingForHelper(std::string_view relative) const
        {
            const Found found = FindForHelper(relative);
            if (found.node == 0)
            {
                throw std::invalid_argument("MemoryFileSystem: no entry " + std::string(relative));
            }
            return found.node;
        }

        // A helper's change to the node of an existing entry, durable at once.
        void ChangeForHelper(std::string_view relative, const std::function<void(Node&)>& change)
        {
            change(live.At(ExistingForHelper(relative)));
            MakeEverythingDurable();
        }

        // The folder of `relative`, made with every folder above it as needed.
        NodeNumber FolderForHelper(const std::vector<NativeString>& names, std::size_t count)
        {
            NodeNumber folder = RootNode;
            for (std::size_t i = 0; i < count; ++i)
            {
                const NodeNumber next = FindNode(live, folder, names[i], bIsCaseInsensitive);
                if (next == 0)
                {
                    folder = Create(FolderNode(), folder, names[i]);
                    continue;
                }
                if (live.At(next).type != EntryType::Directory)
                {
                    throw std::invalid_argument("MemoryFileSystem: not a folder on the way: " +
                                                TextFromNative(names[i]));
                }
                folder = next;
            }
            return folder;
        }

        // Where a helper puts the entry `relative`: its folder (made as needed), its name and the node already
        // there (0 when none).
        struct HelperPlace
        {
            NodeNumber folder = RootNode;
            NativeString name;
            NodeNumber existing = 0;
        };

        HelperPlace PlaceForHelper(std::string_view relative, std::string_view helper)
        {
            const std::vector<NativeString> names = SplitNames(NativeFromText(relative));
            if (names.empty())
            {
                throw std::invalid_argument("MemoryFileSystem: " + std::string(helper) + " of the root");
            }
            const NodeNumber folder = FolderForHelper(names, names.size() - 1);
            return {folder, names.back(), FindNode(live, folder, names.back(), bIsCaseInsensitive)};
        }

        void Record(std::uint64_t operation, std::uint64_t change, std::string text, std::error_code result)
        {
            records.push_back({operation, change, std::move(text), result});
        }
    };

    namespace
    {
        // Where ids are positional, an entry's id comes from its folder and its (case-folded) name; the top
        // bit keeps it apart from every node number.
        std::uint64_t PositionalId(NodeNumber folder, const NativeString& foldedName)
        {
            return (std::uint64_t{1} << 63) | (std::uint64_t{folder} << 40) |
                   (std::hash<NativeString>{}(foldedName) & ((std::uint64_t{1} << 40) - 1));
        }

        EntryStatus StatusOf(const MemoryFileSystem::State& s, const Found& found)
        {
            const NodeNumber number = found.node;
            const Node& node = s.live.At(number);
            EntryStatus status;
            status.type = node.type;
            status.id = {node.device + s.deviceNumbering, number};
            if (s.bAreIdsPositional && !found.IsRoot())
            {
                status.id.file = PositionalId(found.Folder(), Fold(found.name, true));
            }
            status.attributes = node.attributes;
            status.bIsReadOnly = node.bIsReadOnly;
            if (IsWindows && node.bIsReadOnly)
            {
                status.attributes |= 0x1; // FILE_ATTRIBUTE_READONLY
            }
            if (node.type == EntryType::File)
            {
                status.size = node.data.size();
            }
            else if (IsLinkType(node.type))
            {
                status.size = node.linkText.size();
            }
            return status;
        }

        class MemoryListing final : public Update::Listing
        {
        public:
            MemoryListing(std::weak_ptr<Process> process, std::vector<std::pair<NativeString, EntryType>> entries)
                : _process(std::move(process)), _entries(std::move(entries))
            {
            }

            bool Next(NativeString& name, EntryType& type, std::error_code& error) override
            {
                const std::shared_ptr<Process> process = _process.lock();
                if (!process || process->bIsDead)
                {
                    error = MemoryFileSystem::KilledError();
                    return false;
                }
                if (_next == _entries.size())
                {
                    return false;
                }
                name = _entries[_next].first;
                type = _entries[_next].second;
                ++_next;
                return true;
            }

        private:
            std::weak_ptr<Process> _process;
            std::vector<std::pair<NativeString, EntryType>> _entries;
            std::size_t _next = 0;
        };

        class MemoryReader final : public Update::Reader
        {
        public:
            MemoryReader(std::weak_ptr<Process> process, std::string data)
                : _process(std::move(process)), _data(std::move(data))
            {
            }

            std::error_code Read(char* buffer, std::size_t size, std::size_t& got) override
            {
                const std::shared_ptr<Process> process = _process.lock();
                if (!process || process->bIsDead)
                {
                    return MemoryFileSystem::KilledError();
                }
                got = std::min(size, _data.size() - _offset);
                std::copy_n(_data.data() + _offset, got, buffer);
                _offset += got;
                return {};
            }

        private:
            std::weak_ptr<Process> _process;
            std::string _data;
            std::size_t _offset = 0;
        };

        class MemoryLock final : public Update::FileLock
        {
        public:
            MemoryLock(std::weak_ptr<LockTable> table, NodeNumber node, std::uint64_t token)
                : _table(std::move(table)), _node(node), _token(token)
            {
            }

            ~MemoryLock() override
            {
                // A lock its process lost in a restart may be held by a newer one by now.
                const std::shared_ptr<LockTable> table = _table.lock();
                if (!table)
                {
                    return;
                }
                const auto entry = table->find(_node);
                if (entry != table->end() && entry->second.token == _token)
                {
                    table->erase(entry);
                }
            }

        private:
            std::weak_ptr<LockTable> _table;
            NodeNumber _node;
            std::uint64_t _token;
        };

        std::string_view ModeName(RenameMode mode)
        {
            switch (mode)
            {
            case RenameMode::NoReplace:
                return "NoReplace";
            case RenameMode::Replace:
                return "Replace";
            case RenameMode::Exchange:
                return "Exchange";
            }
            return "?";
        }
    }

    std::ostream& operator<<(std::ostream& out, const TreeItem& item)
    {
        switch (item.type)
        {
        case EntryType::Missing:
            return out << "missing";
        case EntryType::File:
            return out << (item.bIsReadOnly ? "read-only file \"" : "file \"") << item.text << '"';
        case EntryType::Directory:
            return out << "folder";
        case EntryType::FileLink:
            return out << "link -> " << item.text;
        case EntryType::DirectoryLink:
            return out << "folder link -> " << item.text;
        case EntryType::Other:
            return out << "other";
        }
        return out;
    }

    TreeDump WithImpliedFolders(TreeDump description)
    {
        TreeDump complete = description;
        for (const auto& [path, item] : description)
        {
            for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
            {
                complete.emplace(path.substr(0, slash), TreeItem::Folder());
            }
        }
        return complete;
    }

    // --- Construction and options.

    MemoryFileSystem::MemoryFileSystem() : _state(std::make_unique<State>())
    {
    }

    MemoryFileSystem::MemoryFileSystem(const MemoryFileSystem& other) : _state(std::make_unique<State>(*other._state))
    {
    }

    MemoryFileSystem& MemoryFileSystem::operator=(const MemoryFileSystem& other)
    {
        if (this != &other)
        {
            _state = std::make_unique<State>(*other._state);
        }
        return *this;
    }

    MemoryFileSystem::~MemoryFileSystem() = default;

    void MemoryFileSystem::SetInstallationRoot(NativeString root)
    {
        _state->root = std::move(root);
    }

    void MemoryFileSystem::SetDisplayRoot(std::string displayRoot)
    {
        _state->displayRoot = std::move(displayRoot);
    }

    void MemoryFileSystem::SetCaseInsensitive(bool bIsCaseInsensitive)
    {
        _state->bIsCaseInsensitive = bIsCaseInsensitive;
    }

    void MemoryFileSystem::SetExchangeSupported(bool bIsSupported)
    {
        _state->bIsExchangeSupported = bIsSupported;
    }

    void MemoryFileSystem::SetHardLinksSupported(bool bAreSupported)
    {
        _state->bAreHardLinksSupported = bAreSupported;
    }

    void MemoryFileSystem::SetFlushesEachFile(bool bFlushesEachFile)
    {
        _state->bFlushesEachFile = bFlushesEachFile;
    }

    void MemoryFileSystem::SetIdsPositional(bool bArePositional)
    {
        _state->bAreIdsPositional = bArePositional;
    }

    void MemoryFileSystem::SetSymbolicLinksSupported(bool bAreSupported)
    {
        _state->bAreSymbolicLinksSupported = bAreSupported;
    }

    // --- Test helpers.

    NativeString MemoryFileSystem::PathOf(std::string_view relative) const
    {
        NativeString path = _state->root;
        for (const NativeString& name : SplitNames(NativeFromText(relative)))
        {
            path.push_back(Separator);
            path += name;
        }
        return path;
    }

    void MemoryFileSystem::Build(const TreeDump& description)
    {
        State& s = *_state;
        for (const auto& [path, item] : description)
        {
            const State::HelperPlace place = s.PlaceForHelper(path, "Build");
            if (place.existing != 0)
            {
                if (item.type == EntryType::Directory && s.live.At(place.existing).type == EntryType::Directory)
                {
                    continue;
                }
                throw std::invalid_argument("MemoryFileSystem: Build over an existing entry: " + path);
            }
            Node node;
            node.type = item.type;
            switch (item.type)
            {
            case EntryType::File:
                node.data = item.text;
                node.bIsReadOnly = item.bIsReadOnly;
                break;
            case EntryType::Directory:
                node.attributes = FolderAttributes;
                break;
            case EntryType::FileLink:
                node.attributes = LinkAttributes;
                node.linkText = NativeFromText(item.text);
                break;
            case EntryType::DirectoryLink:
                node.attributes = FolderLinkAttributes;
                node.linkText = NativeFromText(item.text);
                break;
            case EntryType::Other:
                break;
            case EntryType::Missing:
                throw std::invalid_argument("MemoryFileSystem: Build of a missing entry: " + path);
            }
            s.Create(node, place.folder, place.name);
        }
        s.MakeEverythingDurable();
    }

    TreeDump MemoryFileSystem::Dump() const
    {
        const State& s = *_state;
        TreeDump dump;
        std::vector<std::pair<NodeNumber, std::string>> folders{{RootNode, std::string()}};
        while (!folders.empty())
        {
            const auto [folder, prefix] = folders.back();
            folders.pop_back();
            for (const Entry& entry : s.live.At(folder).entries)
            {
                const std::string path = prefix + TextFromNative(entry.name);
                const Node& node = s.live.At(entry.node);
                TreeItem item;
                item.type = node.type;
                if (node.type == EntryType::File)
                {
                    item.text = node.data;
                    item.bIsReadOnly = node.bIsReadOnly;
                }
                else if (IsLinkType(node.type))
                {
                    item.text = TextFromNative(node.linkText);
                }
                else if (node.type == EntryType::Directory)
                {
                    folders.emplace_back(entry.node, path + "/");
                }
                dump.emplace(path, item);
            }
        }
        return dump;
    }

    std::vector<std::string> MemoryFileSystem::NamesStartingWith(std::string_view prefix) const
    {
        std::vector<std::string> paths;
        const NativeString nativePrefix = NativeFromText(prefix);
        for (const auto& [path, item] : Dump())
        {
            const std::size_t slash = path.rfind('/');
            const NativeString name = NativeFromText(slash == std::string::npos ? path : path.substr(slash + 1));
            if (name.starts_with(nativePrefix))
            {
                paths.push_back(path);
            }
        }
        return paths;
    }

    std::string MemoryFileSystem::ReadFile(std::string_view relative) const
    {
        const Node& node = _state->live.At(_state->ExistingForHelper(relative));
        if (node.type != EntryType::File)
        {
            throw std::invalid_argument("MemoryFileSystem: not a file: " + std::string(relative));
        }
        return node.data;
    }

    void MemoryFileSystem::WriteFile(std::string_view relative, std::string_view content)
    {
        State& s = *_state;
        const State::HelperPlace place = s.PlaceForHelper(relative, "WriteFile");
        if (place.existing == 0)
        {
            Node node;
            node.data = std::string(content);
            s.Create(node, place.folder, place.name);
        }
        else
        {
            Node& node = s.live.At(place.existing);
            if (node.type != EntryType::File)
            {
                throw std::invalid_argument("MemoryFileSystem: WriteFile over a non-file: " + std::string(relative));
            }
            node.data = std::string(content);
        }
        s.MakeEverythingDurable();
    }

    FileId MemoryFileSystem::IdOf(std::string_view relative) const
    {
        const Found found = _state->FindForHelper(relative);
        if (found.node == 0)
        {
            throw std::invalid_argument("MemoryFileSystem: no entry " + std::string(relative));
        }
        return StatusOf(*_state, found).id;
    }

    void MemoryFileSystem::RenumberDevices()
    {
        _state->deviceNumbering += 1000;
    }

    void MemoryFileSystem::SetAttributes(std::string_view relative, std::uint32_t attributes)
    {
        _state->ChangeForHelper(relative, [&](Node& node) { node.attributes = attributes; });
    }

    void MemoryFileSystem::SetReadOnlyFile(std::string_view file, bool bIsReadOnly)
    {
        _state->ChangeForHelper(file, [&](Node& node) {
            if (node.type != EntryType::File)
            {
                throw std::invalid_argument("MemoryFileSystem: SetReadOnlyFile of a non-file");
            }
            node.bIsReadOnly = bIsReadOnly;
        });
    }

    void MemoryFileSystem::SetGeneratesShortNames(bool bGenerates)
    {
        State& s = *_state;
        if (bGenerates && !s.bIsCaseInsensitive)
        {
            throw std::invalid_argument("MemoryFileSystem: short names need case-insensitive names");
        }
        s.live.bGeneratesShortNames = bGenerates;
        s.durable.bGeneratesShortNames = bGenerates;
    }

    void MemoryFileSystem::SetShortName(std::string_view relative, std::string_view shortName)
    {
        State& s = *_state;
        if (!s.bIsCaseInsensitive)
        {
            throw std::invalid_argument("MemoryFileSystem: short names need case-insensitive names");
        }
        const Found found = s.FindForHelper(relative);
        if (found.node == 0 || found.IsRoot())
        {
            throw std::invalid_argument("MemoryFileSystem: no entry " + std::string(relative));
        }
        const NativeString name = NativeFromText(shortName);
        if (FindEntry(s.live.At(found.Folder()), name, true) >= 0)
        {
            throw std::invalid_argument("MemoryFileSystem: the short name is taken: " + std::string(shortName));
        }
        s.live.At(found.Folder()).entries[static_cast<std::size_t>(found.index)].shortName = name;
        s.MakeEverythingDurable();
    }

    void MemoryFileSystem::SetNeverRemovable(std::string_view relative, bool bIsNeverRemovable)
    {
        _state->ChangeForHelper(relative, [&](Node& node) { node.bIsNeverRemovable = bIsNeverRemovable; });
    }

    void MemoryFileSystem::MakeDevice(std::string_view folder)
    {
        State& s = *_state;
        const NodeNumber top = s.ExistingForHelper(folder);
        if (s.live.At(top).type != EntryType::Directory)
        {
            throw std::invalid_argument("MemoryFileSystem: MakeDevice of a non-folder");
        }
        const std::uint64_t device = s.nextDevice++;
        std::vector<NodeNumber> below{top};
        while (!below.empty())
        {
            Node& node = s.live.At(below.back());
            below.pop_back();
            node.device = device;
            for (const Entry& entry : node.entries)
            {
                below.push_back(entry.node);
            }
        }
        s.MakeEverythingDurable();
    }

    void MemoryFileSystem::SetReadOnlyFolder(std::string_view folder, bool bIsReadOnly)
    {
        _state->ChangeForHelper(folder, [&](Node& node) {
            if (node.type != EntryType::Directory)
            {
                throw std::invalid_argument("MemoryFileSystem: SetReadOnlyFolder of a non-folder");
            }
            node.bIsReadOnlyFolder = bIsReadOnly;
        });
    }

    void MemoryFileSystem::SetMappedImage(std::string_view file, bool bIsMapped)
    {
        const NodeNumber node = _state->ExistingForHelper(file);
        if (bIsMapped)
        {
            _state->mapped.insert(node);
        }
        else
        {
            _state->mapped.erase(node);
        }
    }

    void MemoryFileSystem::Hold(std::string_view file, std::optional<unsigned> releaseAfterAttempts,
                                std::string holders)
    {
        _state->held[_state->ExistingForHelper(file)] = {releaseAfterAttempts, 0, std::move(holders)};
    }

    void MemoryFileSystem::Release(std::string_view file)
    {
        _state->held.erase(_state->ExistingForHelper(file));
    }

    void MemoryFileSystem::SetUnreadable(std::string_view file, bool bIsUnreadable)
    {
        _state->ChangeForHelper(file, [&](Node& node) { node.bIsUnreadable = bIsUnreadable; });
    }

    void MemoryFileSystem::LockByAnother(std::string_view file)
    {
        State& s = *_state;
        const NodeNumber node = s.ExistingForHelper(file);
        if (s.locks->contains(node))
        {
            throw std::invalid_argument("MemoryFileSystem: already locked: " + std::string(file));
        }
        (*s.locks)[node] = {s.nextLockToken++, true};
    }

    void MemoryFileSystem::UnlockByAnother(std::string_view file)
    {
        State& s = *_state;
        const auto entry = s.locks->find(s.ExistingForHelper(file));
        if (entry != s.locks->end() && entry->second.bIsAnotherProcess)
        {
            s.locks->erase(entry);
        }
    }

    // --- Processes and faults.

    void MemoryFileSystem::SetFaultPlan(const FaultPlan& plan)
    {
        State& s = *_state;
        s.plan = plan;
        s.bHasStruck = false;
        s.operations = 0;
        s.changes = 0;
    }

    std::uint64_t MemoryFileSystem::CountedOperations(Counting counting) const
    {
        return counting == Counting::All ? _state->operations : _state->changes;
    }

    bool MemoryFileSystem::HasFaultStruck() const
    {
        return _state->bHasStruck;
    }

    bool MemoryFileSystem::IsKilled() const
    {
        return _state->process->bIsDead;
    }

    std::error_code MemoryFileSystem::KilledError()
    {
        // No predicate takes it for anything it could handle, and a test tells it from an injected failure.
        return Error(std::errc::owner_dead);
    }

    void MemoryFileSystem::Restart()
    {
        State& s = *_state;
        if (s.bIsPowerCut)
        {
            CutPower(s.plan.reachedDisk);
            return;
        }
        std::erase_if(*s.locks, [](const auto& item) { return !item.second.bIsAnotherProcess; });
        s.process.Renew();
        SetFaultPlan({});
        s.Record(0, 0, "-- restart --", {});
    }

    void MemoryFileSystem::CutPower(std::size_t reachedDisk)
    {
        State& s = *_state;
        Tree tree = s.durable;
        const std::size_t reached = std::min(reachedDisk, s.pending.size());
        for (std::size_t i = 0; i < reached; ++i)
        {
            s.pending[i](tree);
        }
        for (auto& [number, node] : tree.nodes)
        {
            if (node.type == EntryType::File)
            {
                const auto data = s.durableData.find(number);
                node.data = data == s.durableData.end() ? std::string() : data->second;
            }
        }
        s.live = std::move(tree);
        s.bIsDurabilitySuppressed = false;
        s.bIsPowerCut = false;
        s.MakeEverythingDurable();
        // The machine starts again: no program holds, maps or locks anything.
        s.held.clear();
        s.mapped.clear();
        s.locks->clear();
        s.process.Renew();
        SetFaultPlan({});
        s.Record(0, 0, "-- power cut, " + std::to_string(reached) + " change(s) reached the disk --", {});
    }

    std::size_t MemoryFileSystem::PendingChanges() const
    {
        return _state->pending.size();
    }

    const std::vector<OperationRecord>& MemoryFileSystem::Records() const
    {
        return _state->records;
    }

    std::string MemoryFileSystem::RecordText() const
    {
        std::ostringstream text;
        for (const OperationRecord& record : _state->records)
        {
            if (record.operation == 0 && record.change == 0 && !record.result)
            {
                text << record.text << '\n';
                continue;
            }
            if (record.operation == 0)
            {
                text << "after death: " << record.text << '\n';
                continue;
            }
            text << "op " << record.operation;
            if (record.change != 0)
            {
                text << " (change " << record.change << ")";
            }
            text << ": " << record.text << " -> " << (record.result ? record.result.message() : "ok") << '\n';
        }
        return text.str();
    }

    void MemoryFileSystem::SetRandomSeed(std::uint64_t seed)
    {
        _state->random.seed(seed);
    }

    void MemoryFileSystem::ForceRandomBits(std::vector<std::uint64_t> values)
    {
        _state->forcedRandom.assign(values.begin(), values.end());
    }

    // --- The interface.

    namespace
    {
        // Runs one operation of the interface under the fault plan: counts it, strikes it when the plan
        // says so, and records it.
        std::error_code Perform(MemoryFileSystem::State& s, bool bIsChange, std::string text,
                                const std::function<std::error_code()>& body)
        {
            if (s.process->bIsDead)
            {
                s.Record(0, 0, std::move(text), MemoryFileSystem::KilledError());
                return MemoryFileSystem::KilledError();
            }
            ++s.operations;
            if (bIsChange)
            {
                ++s.changes;
            }
            const std::uint64_t counted = s.plan.counting == Counting::All ? s.operations : (bIsChange ? s.changes : 0);
            std::error_code result;
            if (s.plan.kind != FaultKind::None && !s.bHasStruck && counted != 0 && counted == s.plan.at)
            {
                s.bHasStruck = true;
                switch (s.plan.kind)
                {
                case FaultKind::None:
                case FaultKind::Fail:
                    result = s.plan.failure;
                    break;
                case FaultKind::Kill:
                    s.process->bIsDead = true;
                    result = MemoryFileSystem::KilledError();
                    break;
                case FaultKind::PowerCut:
                    // The operation was under way: its metadata change is journaled like any other, but no
                    // flush of it completes.
                    s.bIsDurabilitySuppressed = true;
                    static_cast<void>(body());
                    s.process->bIsDead = true;
                    s.bIsPowerCut = true;
                    result = MemoryFileSystem::KilledError();
                    break;
                }
            }
            else
            {
                result = body();
            }
            s.Record(s.operations, bIsChange ? s.changes : 0, std::move(text), result);
            return result;
        }

        bool Contains(const std::vector<Step>& folders, NodeNumber node)
        {
            return std::any_of(folders.begin(), folders.end(), [&](const Step& step) { return step.node == node; });
        }

        // Perform for an operation on the entry one path names: finds it as `finding` says, the error being
        // the operation's, and runs `body` on it.
        std::error_code PerformOn(MemoryFileSystem::State& s, bool bIsChange, std::string text,
                                  const NativeString& path, Finding finding,
                                  const std::function<std::error_code(const Found&)>& body)
        {
            return Perform(s, bIsChange, std::move(text), [&] {
                Found found;
                if (const std::error_code error = s.Find(path, finding, found))
                {
                    return error;
                }
                return body(found);
            });
        }

        std::error_code PerformStatus(MemoryFileSystem::State& s, std::string text, const NativeString& path,
                                      bool bFollowLast, EntryStatus& status)
        {
            return Perform(s, false, std::move(text), [&] {
                Found found;
                if (const std::error_code error = s.Resolve(path, bFollowLast, found))
                {
                    // A missing folder on the way means a missing entry, as lstat says.
                    if (error == std::errc::no_such_file_or_directory)
                    {
                        status = EntryStatus();
                        return std::error_code();
                    }
                    return error;
                }
                status = found.node == 0 ? EntryStatus() : StatusOf(s, found);
                return std::error_code();
            });
        }

        // The checks of opening an existing entry as a file for reading, without following a final link.
        std::error_code CheckReadable(const Node& node)
        {
            switch (node.type)
            {
            case EntryType::File:
                return node.bIsUnreadable ? Error(std::errc::permission_denied) : std::error_code();
            case EntryType::Directory:
                return Error(std::errc::is_a_directory);
            case EntryType::FileLink:
            case EntryType::DirectoryLink:
                return Error(std::errc::too_many_symbolic_link_levels); // as an open with O_NOFOLLOW
            default:
                return Error(std::errc::invalid_argument);
            }
        }
    }

    std::error_code MemoryFileSystem::InstallationRoot(NativeString& root)
    {
        return Perform(*_state, false, "InstallationRoot", [&] {
            root = _state->root;
            return std::error_code();
        });
    }

    std::string MemoryFileSystem::DisplayPath(const NativeString& path)
    {
        const State& s = *_state;
        Update::NativeView rest;
        if (s.displayRoot.empty() || !StartsWithRoot(path, s.root, rest))
        {
            return Update::ToUtf8(path);
        }
        if (rest.empty())
        {
            return s.displayRoot;
        }
        return s.displayRoot + Update::ToUtf8(NativeString(1, Separator)) + Update::ToUtf8(NativeString(rest));
    }

    std::error_code MemoryFileSystem::Status(const NativeString& path, EntryStatus& status)
    {
        return PerformStatus(*_state, "Status " + DisplayPath(path), path, false, status);
    }

    std::error_code MemoryFileSystem::StatusFollowingLinks(const NativeString& path, EntryStatus& status)
    {
        return PerformStatus(*_state, "StatusFollowingLinks " + DisplayPath(path), path, true, status);
    }

    std::error_code MemoryFileSystem::Rename(const NativeString& from, const NativeString& to, RenameMode mode)
    {
        State& s = *_state;
        const std::string text =
            "Rename " + DisplayPath(from) + " " + DisplayPath(to) + " " + std::string(ModeName(mode));
        return Perform(s, true, text, [&] {
            if (mode == RenameMode::Exchange && !s.bIsExchangeSupported)
            {
                return Error(std::errc::operation_not_supported);
            }
            Found source;
            Found target;
            if (const std::error_code error = s.ResolveBoth(from, to, source, target))
            {
                return error;
            }
            if (source.IsRoot() || target.IsRoot())
            {
                return Error(std::errc::invalid_argument);
            }
            if (s.IsInReadOnlyFolder(source) || s.IsInReadOnlyFolder(target))
            {
                return Error(std::errc::permission_denied);
            }
            if (source.node == 0)
            {
                return Error(std::errc::no_such_file_or_directory);
            }
            const NodeNumber sourceFolder = source.Folder();
            const NodeNumber targetFolder = target.Folder();
            const NativeString sourceName = s.StoredName(source);
            if (sourceFolder == targetFolder && source.index == target.index)
            {
                // One entry under two spellings: only the case of its name changes.
                if (sourceName != target.name)
                {
                    const NativeString newName = target.name;
                    s.Commit([sourceFolder, sourceName, newName](Tree& tree) {
                        EntryNamed(tree, sourceFolder, sourceName)->name = newName;
                    });
                }
                return std::error_code();
            }
            if (target.node != 0 && mode == RenameMode::NoReplace)
            {
                return Error(std::errc::file_exists);
            }
            if (target.node == 0 && mode == RenameMode::Exchange)
            {
                return Error(std::errc::no_such_file_or_directory);
            }
            const Node& moved = s.live.At(source.node);
            if (moved.device != s.live.At(targetFolder).device ||
                (mode == RenameMode::Exchange && s.live.At(target.node).device != s.live.At(sourceFolder).device))
            {
                return Error(std::errc::cross_device_link);
            }
            if (Contains(target.folders, source.node) ||
                (mode == RenameMode::Exchange && Contains(source.folders, target.node)))
            {
                return Error(std::errc::invalid_argument);
            }
            if (target.node == source.node)
            {
                return std::error_code(); // two names of one file: nothing to do, as POSIX says
            }
            if (mode == RenameMode::Replace && target.node != 0)
            {
                const Node& replaced = s.live.At(target.node);
                if (moved.type == EntryType::Directory && replaced.type != EntryType::Directory)
                {
                    return Error(std::errc::not_a_directory);
                }
                if (moved.type != EntryType::Directory && replaced.type == EntryType::Directory)
                {
                    return Error(std::errc::is_a_directory);
                }
                if (replaced.type == EntryType::Directory && !replaced.entries.empty())
                {
                    return Error(std::errc::directory_not_empty);
                }
                if (replaced.bIsReadOnly)
                {
                    return Error(std::errc::permission_denied); // as Windows refuses to rename over one
                }
            }
            if (const std::error_code error = s.CheckHeld(source.node))
            {
                return error;
            }
            if (target.node != 0)
            {
                if (const std::error_code error = s.CheckHeld(target.node))
                {
                    return error;
                }
                if (mode == RenameMode::Replace && s.mapped.contains(target.node))
                {
                    return Error(std::errc::permission_denied);
                }
            }
            // A folder that changes parent has its ".." rewritten: it must be writable itself.
            const auto isStuckFolder = [&](NodeNumber node) {
                const Node& folder = s.live.At(node);
                return sourceFolder != targetFolder && folder.type == EntryType::Directory && folder.bIsReadOnlyFolder;
            };
            if (isStuckFolder(source.node) || (mode == RenameMode::Exchange && isStuckFolder(target.node)))
            {
                return Error(std::errc::permission_denied);
            }

            const NativeString targetName = target.node != 0 ? s.StoredName(target) : target.name;
            const NodeNumber sourceNode = source.node;
            const NodeNumber targetNode = target.node;
            if (mode == RenameMode::Exchange)
            {
                s.Commit([=](Tree& tree) {
                    EntryNamed(tree, sourceFolder, sourceName)->node = targetNode;
                    EntryNamed(tree, targetFolder, targetName)->node = sourceNode;
                });
                return std::error_code();
            }
            const NativeString newName = target.name;
            s.Commit([=](Tree& tree) {
                if (targetNode != 0)
                {
                    RemoveEntry(tree, targetFolder, targetName);
                }
                AddEntry(tree, targetFolder, newName, sourceNode);
                RemoveEntry(tree, sourceFolder, sourceName);
            });
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::HardLink(const NativeString& existing, const NativeString& link)
    {
        State& s = *_state;
        return Perform(s, true, "HardLink " + DisplayPath(existing) + " " + DisplayPath(link), [&] {
            if (!s.bAreHardLinksSupported)
            {
                return Error(std::errc::operation_not_supported);
            }
            Found source;
            Found target;
            if (const std::error_code error = s.ResolveBoth(existing, link, source, target))
            {
                return error;
            }
            if (source.node == 0)
            {
                return Error(std::errc::no_such_file_or_directory);
            }
            if (const std::error_code error = s.CheckFreeName(target))
            {
                return error;
            }
            const NodeNumber folder = target.Folder();
            const Node& node = s.live.At(source.node);
            if (node.type == EntryType::Directory)
            {
                return Error(std::errc::operation_not_permitted);
            }
            if (node.bIsReadOnly)
            {
                // NTFS refuses to link a read-only file; not every file system does: the stricter of them.
                return Error(std::errc::permission_denied);
            }
            if (node.device != s.live.At(folder).device)
            {
                return Error(std::errc::cross_device_link);
            }
            const NodeNumber number = source.node;
            const NativeString name = target.name;
            s.Commit([=](Tree& tree) { AddEntry(tree, folder, name, number); });
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::CopyToNewFile(const NativeString& source, const NativeString& target)
    {
        State& s = *_state;
        return Perform(s, true, "CopyToNewFile " + DisplayPath(source) + " " + DisplayPath(target), [&] {
            Found from;
            if (const std::error_code error = s.Resolve(source, false, from))
            {
                return error;
            }
            if (from.node != 0 && IsLinkType(s.live.At(from.node).type) && !s.bAreSymbolicLinksSupported)
            {
                // Where links are not installed as links, the copy has what the link points to.
                if (const std::error_code error = s.Resolve(source, true, from))
                {
                    return error;
                }
            }
            if (from.node == 0)
            {
                return Error(std::errc::no_such_file_or_directory);
            }
            const Node& original = s.live.At(from.node);
            if (original.type == EntryType::Directory)
            {
                return Error(std::errc::is_a_directory);
            }
            if (original.bIsUnreadable)
            {
                return Error(std::errc::permission_denied);
            }
            Found to;
            if (const std::error_code error = s.Find(target, Finding::FreeName, to))
            {
                return error;
            }
            Node copy;
            copy.type = original.type;
            copy.attributes = original.attributes;
            copy.bIsReadOnly = original.bIsReadOnly;
            copy.data = original.data;
            copy.linkText = original.linkText;
            s.MakeDataDurable(s.Create(copy, to.Folder(), to.name));
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::RemoveFile(const NativeString& path)
    {
        State& s = *_state;
        const std::string text = "RemoveFile " + DisplayPath(path);
        return PerformOn(s, true, text, path, Finding::FileToRemove, [&](const Found& found) {
            const Node& node = s.live.At(found.node);
            if (node.type == EntryType::Directory)
            {
                return Error(std::errc::is_a_directory);
            }
            if (node.type == EntryType::DirectoryLink && !s.bAreSymbolicLinksSupported)
            {
                return Error(std::errc::permission_denied); // what deleting a folder link as a file answers there
            }
            if (s.mapped.contains(found.node))
            {
                return Error(std::errc::permission_denied);
            }
            if (node.bIsNeverRemovable)
            {
                return Error(std::errc::operation_not_supported);
            }
            if (const std::error_code error = s.CheckHeld(found.node))
            {
                return error;
            }
            const NodeNumber number = found.node;
            const bool bIsReadOnly = node.bIsReadOnly;
            const bool bHasOtherNames = node.names > 1;
            if (bIsReadOnly)
            {
                // As the Windows backend does: the attribute goes first, for every name of the file...
                s.CommitReadOnly(number, false);
            }
            s.CommitRemoval(found);
            if (bIsReadOnly && bHasOtherNames)
            {
                // ...and comes back for the names that remain.
                s.CommitReadOnly(number, true);
            }
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::MakeFolder(const NativeString& path)
    {
        State& s = *_state;
        return PerformOn(s, true, "MakeFolder " + DisplayPath(path), path, Finding::NewEntry, [&](const Found& found) {
            s.Create(FolderNode(), found.Folder(), found.name);
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::RemoveEmptyFolder(const NativeString& path)
    {
        State& s = *_state;
        const std::string text = "RemoveEmptyFolder " + DisplayPath(path);
        return PerformOn(s, true, text, path, Finding::FolderToRemove, [&](const Found& found) {
            const Node& node = s.live.At(found.node);
            if (node.bIsNeverRemovable)
            {
                return Error(std::errc::operation_not_supported);
            }
            if (node.type != EntryType::Directory && node.type != EntryType::DirectoryLink)
            {
                return Error(std::errc::not_a_directory);
            }
            if (!node.entries.empty())
            {
                return Error(std::errc::directory_not_empty);
            }
            if (node.device != s.live.At(found.Folder()).device)
            {
                return Error(std::errc::permission_denied); // the top of another device stays
            }
            if (const std::error_code error = s.CheckHeld(found.node))
            {
                return error;
            }
            s.CommitRemoval(found);
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::SetReadOnly(const NativeString& path, bool bIsReadOnly)
    {
        State& s = *_state;
        const std::string text = "SetReadOnly " + DisplayPath(path) + (bIsReadOnly ? " on" : " off");
        return PerformOn(s, true, text, path, Finding::Existing, [&](const Found& found) {
            const Node& node = s.live.At(found.node);
            // Only files have the attribute here; a folder's would mean nothing to a rename.
            if (node.type == EntryType::File && node.bIsReadOnly != bIsReadOnly)
            {
                s.CommitReadOnly(found.node, bIsReadOnly);
            }
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::WriteNewFile(const NativeString& path, const std::string& bytes)
    {
        State& s = *_state;
        const std::string text = "WriteNewFile " + DisplayPath(path);
        return PerformOn(s, true, text, path, Finding::NewEntry, [&](const Found& found) {
            Node file;
            file.data = bytes;
            const NodeNumber made = s.Create(file, found.Folder(), found.name);
            if (s.bFlushesEachFile)
            {
                s.MakeDataDurable(made);
            }
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::OpenReader(const NativeString& path, std::unique_ptr<Update::Reader>& reader)
    {
        State& s = *_state;
        return PerformOn(s, false, "OpenReader " + DisplayPath(path), path, Finding::Existing, [&](const Found& found) {
            const Node& node = s.live.At(found.node);
            if (const std::error_code error = CheckReadable(node))
            {
                return error;
            }
            reader = std::make_unique<MemoryReader>(s.process.Weak(), node.data);
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::OpenListing(const NativeString& folder, bool followLink,
                                                  std::unique_ptr<Update::Listing>& listing)
    {
        State& s = *_state;
        const Finding finding = followLink ? Finding::ExistingFollowed : Finding::Existing;
        return PerformOn(s, false, "OpenListing " + DisplayPath(folder), folder, finding, [&](const Found& found) {
            const Node& node = s.live.At(found.node);
            if (node.type != EntryType::Directory)
            {
                return Error(std::errc::not_a_directory);
            }
            std::vector<std::pair<NativeString, EntryType>> entries;
            for (const Entry& entry : node.entries)
            {
                entries.emplace_back(entry.name, s.live.At(entry.node).type);
            }
            listing = std::make_unique<MemoryListing>(s.process.Weak(), std::move(entries));
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::FlushDirectory(const NativeString& path)
    {
        State& s = *_state;
        const std::string text = "FlushDirectory " + DisplayPath(path);
        return PerformOn(s, true, text, path, Finding::ExistingFollowed, [&](const Found& found) {
            if (s.live.At(found.node).type != EntryType::Directory)
            {
                return Error(std::errc::not_a_directory);
            }
            // One journal for the whole file system: committing it commits every folder's changes.
            s.MakeMetadataDurable();
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::FlushFileSystem(const NativeString& path)
    {
        State& s = *_state;
        const std::string text = "FlushFileSystem " + DisplayPath(path);
        return PerformOn(s, true, text, path, Finding::ExistingFollowed, [&](const Found&) {
            if (s.bFlushesEachFile)
            {
                s.MakeMetadataDurable();
            }
            else if (!s.bIsDurabilitySuppressed)
            {
                s.MakeEverythingDurable();
            }
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::FlushFile(const NativeString& path)
    {
        State& s = *_state;
        return PerformOn(s, true, "FlushFile " + DisplayPath(path), path, Finding::Existing, [&](const Found& found) {
            const Node& node = s.live.At(found.node);
            if (node.type == EntryType::Directory)
            {
                return Error(std::errc::is_a_directory);
            }
            if (s.mapped.contains(found.node))
            {
                return Error(std::errc::permission_denied); // it cannot be opened for writing
            }
            if (node.type == EntryType::File)
            {
                s.MakeDataDurable(found.node);
            }
            return std::error_code();
        });
    }

    bool MemoryFileSystem::FlushesEachFile() const
    {
        return _state->bFlushesEachFile;
    }

    bool MemoryFileSystem::KeepsIdsWhenMoved(const NativeString&)
    {
        return !_state->bAreIdsPositional;
    }

    std::error_code MemoryFileSystem::ReadLink(const NativeString& link, NativeString& text)
    {
        State& s = *_state;
        return Perform(s, false, "ReadLink " + DisplayPath(link), [&] {
            if (!s.bAreSymbolicLinksSupported)
            {
                return Error(std::errc::operation_not_supported);
            }
            Found found;
            if (const std::error_code error = s.Find(link, Finding::Existing, found))
            {
                return error;
            }
            const Node& node = s.live.At(found.node);
            if (!IsLinkType(node.type))
            {
                return Error(std::errc::invalid_argument);
            }
            text = node.linkText;
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::FinalPath(const NativeString& path, NativeString& final)
    {
        State& s = *_state;
        const std::string text = "FinalPath " + DisplayPath(path);
        return PerformOn(s, false, text, path, Finding::ExistingFollowed, [&](const Found& found) {
            NativeString result = s.root;
            if (!found.IsRoot())
            {
                for (std::size_t i = 1; i < found.folders.size(); ++i)
                {
                    result.push_back(Separator);
                    result += found.folders[i].name;
                }
                result.push_back(Separator);
                result += s.StoredName(found);
            }
            final = std::move(result);
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::LongName(const NativeString& path, NativeString& name)
    {
        State& s = *_state;
        return PerformOn(s, false, "LongName " + DisplayPath(path), path, Finding::Existing, [&](const Found& found) {
            name = s.StoredName(found);
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::CheckReplaceable(const NativeString& path)
    {
        State& s = *_state;
        const std::string text = "CheckReplaceable " + DisplayPath(path);
        return PerformOn(s, false, text, path, Finding::Existing, [&](const Found& found) {
            if (const std::error_code error = s.CheckHeld(found.node))
            {
                return error;
            }
            if (s.mapped.contains(found.node))
            {
                return Error(std::errc::permission_denied);
            }
            return std::error_code();
        });
    }

    std::error_code MemoryFileSystem::TryLock(const NativeString& path, std::unique_ptr<Update::FileLock>& lock)
    {
        State& s = *_state;
        return PerformOn(s, false, "TryLock " + DisplayPath(path), path, Finding::Existing, [&](const Found& found) {
            if (s.live.At(found.node).type == EntryType::Directory)
            {
                return Error(std::errc::is_a_directory);
            }
            if (s.locks->contains(found.node))
            {
                return Error(std::errc::resource_unavailable_try_again);
            }
            const std::uint64_t token = s.nextLockToken++;
            (*s.locks)[found.node] = {token, false};
            lock = std::make_unique<MemoryLock>(s.locks.Weak(), found.node, token);
            return std::error_code();
        });
    }

    bool MemoryFileSystem::IsHeldByAnother(const std::error_code& error, const NativeString&)
    {
        return error == std::errc::device_or_resource_busy;
    }

    std::string MemoryFileSystem::HoldersOf(const NativeString& path)
    {
        const State& s = *_state;
        Found found;
        if (s.Find(path, Finding::Existing, found))
        {
            return {};
        }
        const auto holding = s.held.find(found.node);
        return holding == s.held.end() ? std::string() : holding->second.holders;
    }

    NativeString MemoryFileSystem::FoldCase(const NativeString& name)
    {
        return Fold(name, _state->bIsCaseInsensitive);
    }

    std::uint64_t MemoryFileSystem::RandomBits()
    {
        State& s = *_state;
        if (!s.forcedRandom.empty())
        {
            const std::uint64_t value = s.forcedRandom.front();
            s.forcedRandom.pop_front();
            return value;
        }
        return s.random();
    }
}
