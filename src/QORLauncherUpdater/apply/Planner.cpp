#include "apply/Planner.h"

#include "apply/PathRules.h"
#include "apply/StagedNames.h"

#include <qor/Utility/LauncherProtocol.h>

#include <unordered_set>
#include <utility>

namespace QOR::Update
{
    class Planner::Walker
    {
    public:
        Walker(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, PlannerSettings settings)
            : _fs(fileSystem), _layout(layout), _retry(retry), _settings(std::move(settings)),
              _foldedStagingName(_fs.FoldCase(FromAscii(LauncherProtocol::StagingFolderName))),
              _foldedLog(_fs.FoldCase(_settings.logPath))
        {
        }

        ApplyResult Run(UpdatePlan& plan)
        {
            _plan = &plan;
            if (const std::error_code error = _fs.FinalPath(_layout.Staging(), _realStaging))
            {
                return StagedError(ApplyReason::System, {}, error);
            }
            EntryStatus root;
            if (const std::error_code error = _fs.StatusFollowingLinks(_layout.Root(), root))
            {
                ApplyError failure;
                failure.step = ApplyStep::FindInstallation;
                failure.code = error;
                failure.place = PathPlace::FileSystem;
                failure.path = _layout.Root();
                return failure;
            }
            NoteFileSystem(_layout.Root(), root.id.device);
            // The staging folder itself: never moved, holds the top names.
            _frames.emplace_back();
            _frames.back().installDevice = root.id.device;
            _plan->SetRootDevice(root.id.device);
            NativeString failedFolder;
            const std::error_code error = Walk(
                _fs, _layout.Staging(),
                [this](const NativeString& relative, EntryType type) { return Visit(relative, type); }, failedFolder);
            if (_failure)
            {
                return _failure;
            }
            if (error)
            {
                return StagedError(ApplyReason::System, failedFolder, error);
            }
            while (_frames.size() > 1)
            {
                CloseFolder();
            }
            plan.PutInInstallOrder();
            return std::nullopt;
        }

        const std::vector<NativeString>& FlushFolders() const { return _flushFolders; }

    private:
        // A staged folder being walked, and whether it can still move in whole.
        struct Frame
        {
            NativeString relative;
            std::size_t firstEntry = 0;
            FileId staged;         // known for a folder that may move in whole
            EntryStatus installed; // its place in the installation, links followed
            std::error_code installedError;
            std::uint64_t installDevice = 0; // the file system its entries land on
            bool bIsMissing = false;         // the installation has nothing at its place
            bool bIsMovable = false;         // so far, it could move in whole
            bool bIsFilled = false;          // something in it is installed
            FolderNames names;               // of every entry directly in it
        };

        std::error_code Stop(ApplyError failure)
        {
            _failure = std::move(failure);
            return std::make_error_code(std::errc::operation_canceled);
        }

        std::error_code Visit(const NativeString& relative, EntryType type)
        {
            const NativeView parent = ParentOf(relative);
            while (_frames.size() > 1 && NativeView(_frames.back().relative) != parent)
            {
                CloseFolder();
            }
            if (std::optional<ApplyError> collision = _frames.back().names.Add(_fs, relative))
            {
                return Stop(std::move(*collision));
            }
            if (type == EntryType::Directory)
            {
                return OpenFolder(relative);
            }
            // The updater never overwrites itself by name, at any depth.
            if ((type != EntryType::File && type != EntryType::FileLink) ||
                NameOf(relative) == NativeView(_settings.updaterName))
            {
                Skipped();
                return {};
            }
            return VisitFile(relative, type);
        }

        // A staged file or file link.
        std::error_code VisitFile(const NativeString& relative, EntryType type)
        {
            if (std::optional<ApplyError> log = CheckOwnLog(_fs, relative, _foldedLog))
            {
                return Stop(std::move(*log));
            }
            EntryKind kind = EntryKind::File;
            if (type == EntryType::FileLink)
            {
                std::optional<EntryKind> linkKind;
                if (ApplyResult refused = CheckLink(relative, linkKind))
                {
                    return Stop(std::move(*refused));
                }
                if (!linkKind)
                {
                    Skipped();
                    return {};
                }
                kind = *linkKind;
                if (kind == EntryKind::LinkedContent)
                {
                    Skipped(); // a whole move would move the link, not its content
                }
            }
            if (ApplyResult failed = AddEntry(relative, kind))
            {
                return Stop(std::move(*failed));
            }
            return {};
        }

        std::error_code OpenFolder(const NativeString& relative)
        {
            const Frame& parent = _frames.back();
            Frame frame;
            frame.relative = relative;
            frame.firstEntry = _plan->EntryCount();
            frame.installDevice = parent.installDevice;
            if (!parent.bIsMissing)
            {
                frame.installedError = _fs.StatusFollowingLinks(_layout.Installed(relative), frame.installed);
            }
            frame.bIsMissing = !frame.installedError && frame.installed.type == EntryType::Missing;
            if (frame.installed.type == EntryType::Directory)
            {
                frame.installDevice = frame.installed.id.device;
                if (std::optional<ApplyError> alias = CheckShortName(_fs, _layout, relative))
                {
                    return Stop(std::move(*alias));
                }
            }
            if (frame.bIsMissing && !LandsInStagingFolder(relative))
            {
                // A move cannot cross file systems: the staged folder must be on the one of its new parent.
                EntryStatus staged;
                if (const std::error_code error = _fs.Status(_layout.Staged(relative), staged))
                {
                    return Stop(StagedError(ApplyReason::System, relative, error));
                }
                frame.staged = staged.id;
                frame.bIsMovable = staged.id.device == parent.installDevice;
            }
            _frames.push_back(std::move(frame));
            return {};
        }

        void CloseFolder()
        {
            Frame frame = std::move(_frames.back());
            _frames.pop_back();
            const bool moves = frame.bIsMovable && frame.bIsFilled;
            if (moves)
            {
                _plan->ReplaceWithFolder(frame.firstEntry, frame.relative, frame.staged);
            }
            Frame& parent = _frames.back();
            parent.bIsFilled = parent.bIsFilled || frame.bIsFilled;
            // An empty or partly skipped folder inside would change by a whole move.
            parent.bIsMovable = parent.bIsMovable && moves;
        }

        void Skipped() { _frames.back().bIsMovable = false; }

        bool LandsInStagingFolder(NativeView relative) const
        {
            return _fs.FoldCase(NativeString(FirstElementOf(relative))) == _foldedStagingName;
        }

        bool InsideRealStaging(const NativeString& final) const
        {
            return final.size() > _realStaging.size() && final.compare(0, _realStaging.size(), _realStaging) == 0 &&
                   (final[_realStaging.size()] == Separator || _realStaging.back() == Separator);
        }

        // A staged link is installed as the same link where the system has them (as cp -a does), else its
        // content under its own name; either way it must stay inside the tree. `kind` stays empty for a
        // link to nothing that can only be installed by its content.
        ApplyResult CheckLink(const NativeString& relative, std::optional<EntryKind>& kind)
        {
            const NativeString staged = _layout.Staged(relative);
            NativeString final;
            const std::error_code finalError = _fs.FinalPath(staged, final);
            if (finalError && !IsNotFound(finalError))
            {
                return StagedError(ApplyReason::System, relative, finalError);
            }
            if (!finalError && !InsideRealStaging(final))
            {
                return StagedError(ApplyReason::LeadsOutside, relative);
            }
            NativeString text;
            const std::error_code linkError = _fs.ReadLink(staged, text);
            if (IsUnsupported(linkError))
            {
                if (!finalError)
                {
                    kind = EntryKind::LinkedContent;
                }
                return std::nullopt;
            }
            if (linkError)
            {
                return StagedError(ApplyReason::System, relative, linkError);
            }
            const std::optional<NativeString> destination = LinkDestination(relative, text);
            if (!destination)
            {
                return StagedError(ApplyReason::LeadsOutside, relative);
            }
            if (LandsInStagingFolder(*destination))
            {
                return StagedError(ApplyReason::LeadsOutside, relative);
            }
            kind = EntryKind::Link;
            return std::nullopt;
        }

        // `folder`, an existing folder on `device`, is flushed before the commit if it is the first there.
        void NoteFileSystem(const NativeString& folder, std::uint64_t device)
        {
            if (_devices.insert(device).second)
            {
                _flushFolders.push_back(folder);
            }
        }

        // The folder being walked whose place is `relative`, if it is one.
        const Frame* FrameOf(NativeView relative) const
        {
            for (auto frame = _frames.rbegin(); frame != _frames.rend(); ++frame)
            {
                if (NativeView(frame->relative) == relative)
                {
                    return &*frame;
                }
            }
            return nullptr;
        }

        // Checks the folders a file needs; missing ones are planned, parents first.
        ApplyResult PlanFolders(NativeView folder, NativeView fileParent)
        {
            if (folder.empty() || _knownFolders.count(NativeString(folder)) != 0)
            {
                return std::nullopt;
            }
            const NativeString path = _layout.Installed(folder);
            EntryStatus status;
            std::error_code error;
            if (const Frame* frame = FrameOf(folder))
            {
                status = frame->installed; // seen when the walk entered the staged folder
                error = frame->installedError;
            }
            else
            {
                error = _fs.StatusFollowingLinks(path, status);
            }
            if (!error && status.type == EntryType::Missing)
            {
                if (ApplyResult failed = PlanFolders(ParentOf(folder), fileParent))
                {
                    return failed;
                }
                _plan->AddFolder(folder);
            }
            else if (!error && status.type == EntryType::Directory)
            {
                NoteFileSystem(path, status.id.device);
            }
            else if (!error)
            {
                error = std::make_error_code(std::errc::not_a_directory);
            }
            if (error)
            {
                ApplyError failure;
                failure.step = ApplyStep::MakeFolder;
                failure.code = error;
                failure.place = PathPlace::FileSystem;
                failure.path = _layout.Installed(fileParent);
                return failure;
            }
            _knownFolders.insert(NativeString(folder));
            return std::nullopt;
        }

        // Windows: each staged file durable before its first rename, as its file system is not flushed whole.
        ApplyResult FlushStaged(const NativeString& relative)
        {
            const NativeString path = _layout.Staged(relative);
            const std::error_code error = _retry.Run(path, [&] { return _fs.FlushFile(path); });
            if (!error)
            {
                return std::nullopt;
            }
            ApplyError failure = StagedError(ApplyReason::System, relative, error);
            failure.holders = _fs.IsHeldByAnother(error, path) ? _fs.HoldersOf(path) : std::string();
            return failure;
        }

        // The staged entry and what is at its place, once the place is known to be one a file can take.
        ApplyResult ReadPlaces(const NativeString& relative, EntryStatus& staged, EntryStatus& installed)
        {
            if (LandsInStagingFolder(relative))
            {
                // It would land in the staging tree, which goes away right after the update.
                return StagedError(ApplyReason::LandsInStaging, relative);
            }
            if (ApplyResult failed = PlanFolders(ParentOf(relative), ParentOf(relative)))
            {
                return failed;
            }
            std::error_code error = _fs.Status(_layout.Staged(relative), staged);
            if (!error && !_frames.back().bIsMissing)
            {
                error = _fs.Status(_layout.Installed(relative), installed);
            }
            if (error)
            {
                return StagedError(ApplyReason::System, relative, error);
            }
            if (installed.type == EntryType::Directory || installed.type == EntryType::DirectoryLink)
            {
                return StagedError(ApplyReason::TargetIsFolder, relative);
            }
            return std::nullopt;
        }

        ApplyResult AddEntry(const NativeString& relative, EntryKind kind)
        {
            EntryStatus staged;
            EntryStatus installed;
            if (ApplyResult refused = ReadPlaces(relative, staged, installed))
            {
                return refused;
            }
            const bool bIsReplacing = installed.type != EntryType::Missing;
            if (bIsReplacing && (installed.id == staged.id || installed.id == _settings.updaterId))
            {
                // Already this very file, or the running updater reached by another name: nothing to move.
                Skipped();
                return std::nullopt;
            }
            if (ApplyResult alias = bIsReplacing ? CheckShortName(_fs, _layout, relative) : std::nullopt)
            {
                return alias;
            }
            if (kind == EntryKind::File && _fs.FlushesEachFile())
            {
                if (ApplyResult failed = FlushStaged(relative))
                {
                    return failed;
                }
            }
            if (bIsReplacing)
            {
                _plan->AddReplacingEntry(relative, kind, staged.id, installed.id);
            }
            else
            {
                _plan->AddEntry(relative, kind, staged.id);
            }
            // A link's content is copied with the attributes of what it leads to, and never given back.
            _plan->SetReadOnly(_plan->EntryCount() - 1, kind == EntryKind::File && staged.bIsReadOnly,
                               bIsReplacing && installed.bIsReadOnly);
            _frames.back().bIsFilled = true;
            return std::nullopt;
        }

        FileSystem& _fs;
        const Layout& _layout;
        RetryPolicy& _retry;
        const PlannerSettings _settings;
        const NativeString _foldedStagingName;
        const NativeString _foldedLog;
        UpdatePlan* _plan = nullptr;
        NativeString _realStaging;
        std::vector<Frame> _frames;
        std::unordered_set<NativeString> _knownFolders;
        std::unordered_set<std::uint64_t> _devices;
        std::vector<NativeString> _flushFolders;
        ApplyResult _failure;
    };

    Planner::Planner(FileSystem& fileSystem, const Layout& layout, RetryPolicy& retry, PlannerSettings settings)
        : _walker(std::make_unique<Walker>(fileSystem, layout, retry, std::move(settings)))
    {
    }

    Planner::~Planner() = default;

    ApplyResult Planner::Run(UpdatePlan& plan)
    {
        return _walker->Run(plan);
    }

    const std::vector<NativeString>& Planner::FlushFolders() const
    {
        return _walker->FlushFolders();
    }
}
