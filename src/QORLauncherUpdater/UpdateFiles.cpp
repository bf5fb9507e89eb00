#include "UpdateFiles.h"

#include "FileSystem.h"
#include "Report.h"
#include "UpdatePlan.h"

#include <qor/Foundation/Foundation.h>

#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace QOR
{
    namespace Update
    {
        namespace
        {
            namespace FS = FileSystem;
            namespace Protocol = LauncherProtocol;
            using FS::EntryType;
            using namespace std::chrono_literals;

            // A file held by a scanner or a program that is just ending gets this long, for the whole update.
            constexpr std::chrono::milliseconds HeldFileBudget = 15s;
            constexpr std::chrono::milliseconds FirstPause = 25ms;
            constexpr std::chrono::milliseconds LongestPause = 1s;

            // Roles of an entry's working files, beside its target...
            constexpr NativeChar NewRole = 'n';           // the copy being made where a move is not possible
            constexpr NativeChar BackupRole = 'b';        // the replaced file, kept until the update is complete
            constexpr NativeChar RestoringRole = 'r';     // the replaced file on its way back
            constexpr NativeChar PartialBackupRole = 'p'; // a backup being copied where no hard link can be made
            // ...and beside its staged file.
            // the staged file being copied back where no hard link can be made
            constexpr NativeChar StagedCopyRole = 'q';

            const char* const LeadsOutside = "The staged file leads outside the update folder.";
            const char* const LandsInStaging = "The staged file would be installed inside the update folder.";

            NativeString Join(const NativeString& folder, NativeView name)
            {
                NativeString path = folder;
                if (!name.empty())
                {
                    if (!path.empty() && path.back() != FS::Separator)
                    {
                        path.push_back(FS::Separator);
                    }
                    path.append(name);
                }
                return path;
            }

            NativeString JoinRelative(NativeView folder, NativeView name)
            {
                NativeString path(folder);
                if (!path.empty())
                {
                    path.push_back(FS::Separator);
                }
                path.append(name);
                return path;
            }

            // Where everything of an update lies.
            class Layout
            {
            public:
                explicit Layout(NativeString root)
                    : _root(std::move(root)), _staging(Join(_root, FS::FromAscii(Protocol::StagingFolderName)))
                {
                }

                const NativeString& Root() const { return _root; }
                const NativeString& Staging() const { return _staging; }
                NativeString Staged(NativeView relative) const { return Join(_staging, relative); }
                NativeString Installed(NativeView relative) const { return Join(_root, relative); }

                NativeString WorkFolder(std::uint64_t tag) const { return Join(_root, WorkFolderName(tag)); }
                NativeString Journal(std::uint64_t tag) const
                {
                    return Join(WorkFolder(tag), FS::FromAscii("journal"));
                }
                NativeString JournalDraft(std::uint64_t tag) const
                {
                    return Join(WorkFolder(tag), FS::FromAscii("journal.part"));
                }
                NativeString Committed(std::uint64_t tag) const
                {
                    return Join(WorkFolder(tag), FS::FromAscii("committed"));
                }
                NativeString RetiredStaging(std::uint64_t tag) const
                {
                    return Join(WorkFolder(tag), FS::FromAscii("staging"));
                }

                // The staging path as the reports show it: "./self_update" and the entry's names.
                static std::string ShownStaged(NativeView relative)
                {
                    std::string shown = Protocol::StagingFolder;
                    if (!relative.empty())
                    {
                        shown += static_cast<char>(FS::Separator);
                        shown += FS::ToUtf8(NativeString(relative));
                    }
                    return shown;
                }

            private:
                NativeString _root;
                NativeString _staging;
            };

            // The paths of one entry and its working files.
            struct EntryPaths
            {
                NativeString staged;
                NativeString target;
                NativeString backup;
                NativeString restoring;
                NativeString fresh;
                NativeString partialBackup;
                NativeString stagedCopy;

                EntryPaths(const Layout& layout, const UpdatePlan& plan, std::size_t index)
                    : staged(layout.Staged(plan.Source(index))), target(layout.Installed(plan.Target(index)))
                {
                    const NativeView folder = ParentOf(plan.Target(index));
                    const auto beside = [&](NativeChar role) {
                        return layout.Installed(JoinRelative(folder, WorkingFileName(plan.GetTag(), index, role)));
                    };
                    backup = beside(BackupRole);
                    restoring = beside(RestoringRole);
                    fresh = beside(NewRole);
                    partialBackup = beside(PartialBackupRole);
                    stagedCopy = layout.Staged(JoinRelative(ParentOf(plan.Source(index)),
                                                            WorkingFileName(plan.GetTag(), index, StagedCopyRole)));
                }
            };

            FailureReport FileFailure(std::string shownPath, std::string errorText)
            {
                return {Failure::FileNotCopied, std::move(shownPath), std::move(errorText)};
            }

            FailureReport FolderFailure(std::string shownPath, std::string errorText)
            {
                return {Failure::FolderNotCreated, std::move(shownPath), std::move(errorText)};
            }

            // An error of one step with the file it concerns, so a file in use can be named with its holders.
            struct StepError
            {
                std::error_code error;
                NativeString path;

                explicit operator bool() const { return static_cast<bool>(error); }

                std::string Text() const
                {
                    std::string text = SystemErrorText(error);
                    if (FS::IsHeldByAnother(error, path))
                    {
                        const std::string holders = FS::HoldersOf(path);
                        if (!holders.empty())
                        {
                            text += " Held by: " + holders + ".";
                        }
                    }
                    return text;
                }
            };

            // Waits for files held open for a moment, with growing pauses, up to a budget for the update.
            class RetryBudget
            {
            public:
                explicit RetryBudget(std::chrono::milliseconds total) : _left(total) {}

                bool WaitBeforeRetry(const std::error_code& error, const NativeString& path)
                {
                    if (_left <= std::chrono::milliseconds::zero() || !FS::IsHeldByAnother(error, path))
                    {
                        return false;
                    }
                    const std::chrono::milliseconds pause = std::min(_pause, _left);
                    std::this_thread::sleep_for(pause);
                    _left -= pause;
                    _pause = std::min(_pause * 2, LongestPause);
                    return true;
                }

            private:
                std::chrono::milliseconds _left;
                std::chrono::milliseconds _pause = FirstPause;
            };

            // Runs a step again while the file it concerns is held by another program for a moment.
            template<class Step>
            StepError Retrying(RetryBudget& budget, const NativeString& path, Step step)
            {
                for (;;)
                {
                    const std::error_code error = step();
                    if (!error || !budget.WaitBeforeRetry(error, path))
                    {
                        return {error, path};
                    }
                }
            }

            StepError Exists(const NativeString& path, bool& exists)
            {
                EntryType type = EntryType::Missing;
                const std::error_code error = FS::Status(path, type);
                exists = type != EntryType::Missing;
                return {error, path};
            }

            StepError RemoveIfPresent(RetryBudget& budget, const NativeString& path)
            {
                StepError failed = Retrying(budget, path, [&] { return FS::RemoveFile(path); });
                if (FS::IsNotFound(failed.error))
                {
                    failed.error.clear();
                }
                return failed;
            }

            // ---------------------------------------------------------------------------------------
            // The plan: one walk of the staging tree, every decision made before anything changes.

            class Planner
            {
            public:
                Planner(const Layout& layout, UpdatePlan& plan) : _layout(layout), _plan(plan) {}

                Outcome Run()
                {
                    NativeString realStaging;
                    if (const std::error_code error = FS::FinalPath(_layout.Staging(), realStaging))
                    {
                        return FileFailure(Protocol::StagingFolder, SystemErrorText(error));
                    }
                    _realStaging = realStaging;
                    NoteFileSystem(_layout.Root());
                    NativeString failedFolder;
                    const std::error_code error = FS::Walk(
                        _layout.Staging(),
                        [this](const NativeString& relative, EntryType type) { return Visit(relative, type); },
                        failedFolder);
                    if (_failure)
                    {
                        return _failure;
                    }
                    if (error)
                    {
                        return FileFailure(Layout::ShownStaged(failedFolder), SystemErrorText(error));
                    }
                    while (!_frames.empty())
                    {
                        CloseFolder();
                    }
                    _plan.Compact();
                    return std::nullopt;
                }

                // A folder on each file system that receives a file, to flush it once.
                const std::vector<NativeString>& FileSystemFolders() const { return _flushFolders; }

            private:
                // A staged folder being walked. One whose place in the installation is free moves in whole,
                // in one step, when everything in it would be installed anyway: files and links only, no
                // empty folder, nothing skipped, on the same file system.
                struct Frame
                {
                    NativeString relative;
                    std::size_t firstEntry = 0;
                    std::uint64_t device = 0;
                    bool bIsMissing = false; // the installation has nothing at its place
                    bool bIsMovable = false; // so far, it could move in whole
                    bool bIsFilled = false;  // something in it is installed
                };

                std::error_code Stop(FailureReport failure)
                {
                    _failure = std::move(failure);
                    return std::make_error_code(std::errc::operation_canceled);
                }

                void OpenFolder(const NativeString& relative)
                {
                    Frame frame;
                    frame.relative = relative;
                    frame.firstEntry = _plan.EntryCount();
                    const Frame* parent = _frames.empty() ? nullptr : &_frames.back();
                    if (parent != nullptr && parent->bIsMissing)
                    {
                        frame.bIsMissing = true;
                    }
                    else
                    {
                        EntryType installed = EntryType::Other;
                        frame.bIsMissing = !FS::StatusFollowingLinks(_layout.Installed(relative), installed) &&
                                           installed == EntryType::Missing;
                    }
                    frame.bIsMovable = frame.bIsMissing && !LandsInStagingFolder(relative);
                    if (frame.bIsMovable)
                    {
                        std::uint64_t target = 0;
                        const std::error_code stagedError = FS::FileSystemOf(_layout.Staged(relative), frame.device);
                        const std::error_code targetError =
                            parent != nullptr && parent->bIsMissing
                                ? std::error_code{}
                                : FS::FileSystemOf(_layout.Installed(ParentOf(relative)), target);
                        target = parent != nullptr && parent->bIsMissing ? parent->device : target;
                        frame.bIsMovable = !stagedError && !targetError && frame.device == target;
                    }
                    _frames.push_back(std::move(frame));
                }

                void CloseFolder()
                {
                    Frame frame = std::move(_frames.back());
                    _frames.pop_back();
                    const bool moves = frame.bIsMovable && frame.bIsFilled;
                    if (moves)
                    {
                        for (std::size_t i = frame.firstEntry; i < _plan.EntryCount(); ++i)
                        {
                            _targets.erase(FS::FoldCase(NativeString(_plan.Target(i))));
                        }
                        _plan.ReplaceWithFolder(frame.firstEntry, frame.relative);
                    }
                    if (!_frames.empty())
                    {
                        Frame& parent = _frames.back();
                        parent.bIsFilled = parent.bIsFilled || frame.bIsFilled;
                        // An empty or partly skipped folder inside would change by a whole move.
                        parent.bIsMovable = parent.bIsMovable && moves;
                    }
                }

                void Skipped()
                {
                    if (!_frames.empty())
                    {
                        _frames.back().bIsMovable = false;
                    }
                }

                std::error_code Visit(const NativeString& relative, EntryType type)
                {
                    const NativeView parent = ParentOf(relative);
                    while (!_frames.empty() && NativeView(_frames.back().relative) != parent)
                    {
                        CloseFolder();
                    }
                    if (type == EntryType::Directory)
                    {
                        OpenFolder(relative);
                        return {};
                    }
                    // Folder links are never entered; FIFOs, sockets and devices are not part of an
                    // installation; the updater never overwrites itself (exact, case-sensitive match at
                    // every depth).
                    if ((type != EntryType::File && type != EntryType::FileLink) ||
                        NameOf(relative) == NativeView(_updaterName))
                    {
                        Skipped();
                        return {};
                    }
                    EntryKind kind = EntryKind::File;
                    if (type == EntryType::FileLink)
                    {
                        std::optional<EntryKind> linkKind;
                        if (Outcome refused = CheckLink(relative, linkKind))
                        {
                            return Stop(std::move(*refused));
                        }
                        if (!linkKind)
                        {
                            Skipped();
                            return {};
                        }
                        kind = *linkKind;
                    }
                    if (kind == EntryKind::LinkedContent)
                    {
                        Skipped(); // a whole move would move the link, not its content
                    }
                    if (Outcome failed = AddEntry(relative, kind))
                    {
                        return Stop(std::move(*failed));
                    }
                    if (!_frames.empty())
                    {
                        _frames.back().bIsFilled = true;
                    }
                    return {};
                }

                bool LandsInStagingFolder(NativeView relative) const
                {
                    return FS::FoldCase(NativeString(FirstElementOf(relative))) == _foldedStagingName;
                }

                bool InsideStaging(const NativeString& final) const
                {
                    return final.size() > _realStaging.size() &&
                           final.compare(0, _realStaging.size(), _realStaging) == 0 &&
                           (final[_realStaging.size()] == FS::Separator || _realStaging.back() == FS::Separator);
                }

                // A staged link is installed as the same link where the system has them (as cp -a does),
                // else its content under its own name; either way it must stay inside the tree.
                Outcome CheckLink(const NativeString& relative, std::optional<EntryKind>& kind)
                {
                    const NativeString staged = _layout.Staged(relative);
                    const std::string shown = Layout::ShownStaged(relative);
                    NativeString final;
                    const std::error_code finalError = FS::FinalPath(staged, final);
                    if (finalError && !FS::IsNotFound(finalError))
                    {
                        return FileFailure(shown, SystemErrorText(finalError));
                    }
                    if (!finalError && !InsideStaging(final))
                    {
                        return FileFailure(shown, LeadsOutside);
                    }
                    NativeString text;
                    const std::error_code linkError = FS::ReadLink(staged, text);
                    if (linkError == std::errc::operation_not_supported)
                    {
                        // No links of its own here: the content is installed, and a link to nothing has none.
                        if (!finalError)
                        {
                            kind = EntryKind::LinkedContent;
                        }
                        return std::nullopt;
                    }
                    if (linkError)
                    {
                        return FileFailure(shown, SystemErrorText(linkError));
                    }
                    if (!LinkStaysInside(relative, text, FS::FromAscii(Protocol::StagingFolderName)))
                    {
                        return FileFailure(shown, LeadsOutside);
                    }
                    kind = EntryKind::Link;
                    return std::nullopt;
                }

                void NoteFileSystem(const NativeString& folder)
                {
                    std::uint64_t device = 0;
                    if (FS::FileSystemOf(folder, device))
                    {
                        return; // the flush of this folder will report the error
                    }
                    if (_devices.insert(device).second)
                    {
                        _flushFolders.push_back(folder);
                    }
                }

                // Checks the folders a file needs; missing ones are planned, parents first.
                Outcome PlanFolders(NativeView folder, NativeView fileParent)
                {
                    if (folder.empty() || _knownFolders.count(NativeString(folder)) != 0)
                    {
                        return std::nullopt;
                    }
                    const NativeString path = _layout.Installed(folder);
                    EntryType type = EntryType::Missing;
                    const auto failure = [&](const std::error_code& error) {
                        return FolderFailure(FS::DisplayPath(_layout.Installed(fileParent)), SystemErrorText(error));
                    };
                    if (const std::error_code error = FS::StatusFollowingLinks(path, type))
                    {
                        return failure(error);
                    }
                    if (type == EntryType::Missing)
                    {
                        if (Outcome failed = PlanFolders(ParentOf(folder), fileParent))
                        {
                            return failed;
                        }
                        _plan.AddFolder(folder);
                    }
                    else if (type == EntryType::Directory)
                    {
                        NoteFileSystem(path);
                    }
                    else
                    {
                        return failure(std::make_error_code(std::errc::not_a_directory));
                    }
                    _knownFolders.insert(NativeString(folder));
                    return std::nullopt;
                }

                Outcome AddEntry(const NativeString& relative, EntryKind kind)
                {
                    if (LandsInStagingFolder(relative))
                    {
                        // It would land in the staging tree, which is deleted right after the update.
                        return FileFailure(Layout::ShownStaged(relative), LandsInStaging);
                    }
                    const NativeView parent = ParentOf(relative);
                    if (Outcome failed = PlanFolders(parent, parent))
                    {
                        return failed;
                    }
                    NativeString target = relative;
                    EntryType installed = EntryType::Missing;
                    const bool knownMissing = !_frames.empty() && _frames.back().bIsMissing;
                    if (const std::error_code error =
                            knownMissing ? std::error_code{} : FS::Status(_layout.Installed(target), installed))
                    {
                        return FileFailure(Layout::ShownStaged(relative), SystemErrorText(error));
                    }
                    if (installed == EntryType::Directory || installed == EntryType::DirectoryLink)
                    {
                        // A folder in the way receives the file under its own name.
                        NoteFileSystem(_layout.Installed(target));
                        target = JoinRelative(target, NameOf(relative));
                        if (const std::error_code error = FS::Status(_layout.Installed(target), installed))
                        {
                            return FileFailure(Layout::ShownStaged(relative), SystemErrorText(error));
                        }
                        if (installed == EntryType::Directory || installed == EntryType::DirectoryLink)
                        {
                            return FileFailure(Layout::ShownStaged(relative),
                                               SystemErrorText(std::make_error_code(std::errc::is_a_directory)));
                        }
                    }
                    if (kind == EntryKind::File && FS::FlushesEachFile())
                    {
                        // Durable before its first rename; nothing changes here yet.
                        const NativeString staged = _layout.Staged(relative);
                        if (StepError failed = Retrying(_budget, staged, [&] { return FS::FlushFile(staged); }))
                        {
                            return FileFailure(Layout::ShownStaged(relative), failed.Text());
                        }
                    }
                    // Two staged names that the installation takes for one: the later one wins, as
                    // copying them one after the other would have it.
                    const auto [known, inserted] =
                        _targets.emplace(FS::FoldCase(target), static_cast<std::uint32_t>(_plan.EntryCount()));
                    if (!inserted)
                    {
                        _plan.DropEntry(known->second);
                        known->second = static_cast<std::uint32_t>(_plan.EntryCount());
                    }
                    _plan.AddEntry(relative, target, kind, installed != EntryType::Missing);
                    return std::nullopt;
                }

                const Layout& _layout;
                UpdatePlan& _plan;
                RetryBudget _budget{HeldFileBudget};
                NativeString _realStaging;
                const NativeString _updaterName = FS::FromAscii(Protocol::UpdaterFileName);
                const NativeString _foldedStagingName = FS::FoldCase(FS::FromAscii(Protocol::StagingFolderName));
                std::vector<Frame> _frames;
                std::unordered_set<NativeString> _knownFolders;
                std::unordered_map<NativeString, std::uint32_t> _targets;
                std::unordered_set<std::uint64_t> _devices;
                std::vector<NativeString> _flushFolders;
                Outcome _failure;
            };

            // ---------------------------------------------------------------------------------------
            // Applying and undoing. Every state an entry can be left in by a kill is told apart by which
            // of its names exist, so the undo needs nothing but the plan.

            class Transaction
            {
            public:
                Transaction(const Layout& layout, const UpdatePlan& plan) : _layout(layout), _plan(plan) {}

                // Installs entry `index`: keeps the replaced file as its backup, then moves the staged file
                // in (or copies it, across file systems).
                StepError Install(std::size_t index, RetryBudget& budget)
                {
                    const EntryPaths paths(_layout, _plan, index);
                    const PlanEntry& entry = _plan.Entry(index);
                    if (entry.bIsReplacing)
                    {
                        if (StepError failed = KeepBackup(paths, budget))
                        {
                            return failed;
                        }
                    }
                    const FS::Replace replace = entry.bIsReplacing ? FS::Replace::Yes : FS::Replace::No;
                    if (entry.kind != EntryKind::LinkedContent)
                    {
                        // A folder cannot move while something in it is open; a file, while its target is.
                        const NativeString& held = entry.kind == EntryKind::Folder ? paths.staged : paths.target;
                        const StepError moved =
                            Retrying(budget, held, [&] { return FS::Rename(paths.staged, paths.target, replace); });
                        if (!FS::IsCrossDevice(moved.error))
                        {
                            return moved;
                        }
                    }
                    return CopyIn(paths, replace, budget);
                }

                // Puts entry `index` back as it was before the update, from whatever state it is in.
                StepError Undo(std::size_t index, RetryBudget& budget)
                {
                    const EntryPaths paths(_layout, _plan, index);
                    bool staged = false;
                    if (StepError failed = Exists(paths.staged, staged))
                    {
                        return failed;
                    }
                    if (_plan.Entry(index).kind == EntryKind::Folder)
                    {
                        // Moved in whole where nothing was, in one step: back, or never gone.
                        return staged ? StepError{} : Retrying(budget, paths.staged, [&] {
                            return FS::Rename(paths.target, paths.staged, FS::Replace::No);
                        });
                    }
                    if (!_plan.Entry(index).bIsReplacing)
                    {
                        return UndoNew(paths, staged, budget);
                    }
                    bool restoring = false;
                    bool backedUp = false;
                    if (StepError failed = Exists(paths.restoring, restoring))
                    {
                        return failed;
                    }
                    if (StepError failed = Exists(paths.backup, backedUp))
                    {
                        return failed;
                    }
                    if (restoring || !staged)
                    {
                        return UndoMoved(paths, staged, restoring, backedUp, budget);
                    }
                    // The staged file is still there: the entry was not moved in, or was copied in.
                    if (StepError failed = RemoveIfPresent(budget, paths.fresh))
                    {
                        return failed;
                    }
                    if (StepError failed = RemoveIfPresent(budget, paths.partialBackup))
                    {
                        return failed;
                    }
                    if (!backedUp)
                    {
                        return {};
                    }
                    // A backup that is the target itself (a hard link), or a copy equal to it: the target
                    // was never replaced, or replaced by the same bytes.
                    bool same = false;
                    std::error_code compared = FS::SameFile(paths.backup, paths.target, same);
                    if (!compared && !same)
                    {
                        compared = FS::SameContent(paths.backup, paths.target, same);
                    }
                    if (compared && !FS::IsNotFound(compared))
                    {
                        return {compared, paths.target};
                    }
                    if (!compared && same)
                    {
                        return RemoveIfPresent(budget, paths.backup);
                    }
                    return Retrying(budget, paths.target,
                                    [&] { return FS::Rename(paths.backup, paths.target, FS::Replace::Yes); });
                }

                // Removes what the committed update no longer needs: the replaced files.
                StepError RemoveBackups(RetryBudget& budget)
                {
                    for (std::size_t i = 0; i < _plan.EntryCount(); ++i)
                    {
                        if (_plan.Entry(i).bIsReplacing)
                        {
                            const EntryPaths paths(_layout, _plan, i);
                            if (StepError failed = RemoveIfPresent(budget, paths.backup))
                            {
                                return failed;
                            }
                        }
                    }
                    return {};
                }

            private:
                StepError KeepBackup(const EntryPaths& paths, RetryBudget& budget)
                {
                    // Waits here, before anything is made, for a target that someone holds open.
                    if (StepError held =
                            Retrying(budget, paths.target, [&] { return FS::CheckReplaceable(paths.target); }))
                    {
                        return held;
                    }
                    StepError linked =
                        Retrying(budget, paths.target, [&] { return FS::HardLink(paths.target, paths.backup); });
                    if (!FS::IsLinkUnsupported(linked.error))
                    {
                        return linked;
                    }
                    // No hard links here: a flushed copy, named as the backup only once it is whole.
                    if (StepError failed = Retrying(
                            budget, paths.target, [&] { return FS::CopyToNewFile(paths.target, paths.partialBackup); }))
                    {
                        return failed;
                    }
                    return Retrying(budget, paths.target,
                                    [&] { return FS::Rename(paths.partialBackup, paths.backup, FS::Replace::No); });
                }

                StepError CopyIn(const EntryPaths& paths, FS::Replace replace, RetryBudget& budget)
                {
                    StepError failed =
                        Retrying(budget, paths.staged, [&] { return FS::CopyToNewFile(paths.staged, paths.fresh); });
                    if (!failed)
                    {
                        failed = Retrying(budget, paths.target,
                                          [&] { return FS::Rename(paths.fresh, paths.target, replace); });
                    }
                    if (failed)
                    {
                        (void)RemoveIfPresent(budget, paths.fresh);
                    }
                    return failed;
                }

                // The staged file back at its place, from the installed one (which is it, moved).
                StepError RestoreStaged(const EntryPaths& paths, RetryBudget& budget)
                {
                    if (StepError failed = RemoveIfPresent(budget, paths.stagedCopy))
                    {
                        return failed;
                    }
                    StepError linked =
                        Retrying(budget, paths.target, [&] { return FS::HardLink(paths.target, paths.staged); });
                    if (!FS::IsLinkUnsupported(linked.error))
                    {
                        return linked;
                    }
                    if (StepError failed = Retrying(budget, paths.target,
                                                    [&] { return FS::CopyToNewFile(paths.target, paths.stagedCopy); }))
                    {
                        return failed;
                    }
                    return Retrying(budget, paths.staged,
                                    [&] { return FS::Rename(paths.stagedCopy, paths.staged, FS::Replace::No); });
                }

                // The staged file was moved in over an installed one: move the backup aside, restore the
                // staged file from the target, then the backup over the target. Each state is told apart
                // by its names: "restoring" exists only in between.
                StepError UndoMoved(const EntryPaths& paths, bool staged, bool restoring, bool backedUp,
                                    RetryBudget& budget)
                {
                    if (!restoring)
                    {
                        if (!backedUp)
                        {
                            return {std::make_error_code(std::errc::no_such_file_or_directory), paths.backup};
                        }
                        if (StepError failed = Retrying(budget, paths.backup, [&] {
                                return FS::Rename(paths.backup, paths.restoring, FS::Replace::No);
                            }))
                        {
                            return failed;
                        }
                    }
                    if (!staged)
                    {
                        if (StepError failed = RestoreStaged(paths, budget))
                        {
                            return failed;
                        }
                    }
                    return Retrying(budget, paths.target,
                                    [&] { return FS::Rename(paths.restoring, paths.target, FS::Replace::Yes); });
                }

                StepError UndoNew(const EntryPaths& paths, bool staged, RetryBudget& budget)
                {
                    if (!staged)
                    {
                        // Moved in where nothing was: move it back.
                        return Retrying(budget, paths.target,
                                        [&] { return FS::Rename(paths.target, paths.staged, FS::Replace::No); });
                    }
                    if (StepError failed = RemoveIfPresent(budget, paths.fresh))
                    {
                        return failed;
                    }
                    // Copied in where nothing was (the target is made only by this update): remove the copy.
                    return RemoveIfPresent(budget, paths.target);
                }

                const Layout& _layout;
                const UpdatePlan& _plan;
            };

            // Undoes entries [0, count) in reverse order, removes the folders the update made and its
            // working folder. On failure the journal stays, so the next run tries again.
            Outcome UndoUpdate(const Layout& layout, const UpdatePlan& plan, std::size_t count)
            {
                RetryBudget budget(HeldFileBudget);
                Transaction transaction(layout, plan);
                for (std::size_t i = count; i-- > 0;)
                {
                    if (StepError failed = transaction.Undo(i, budget))
                    {
                        return FileFailure(Layout::ShownStaged(plan.Source(i)), failed.Text());
                    }
                }
                for (std::size_t i = plan.FolderCount(); i-- > 0;)
                {
                    const NativeString folder = layout.Installed(plan.FolderPath(i));
                    const std::error_code error = FS::RemoveEmptyFolder(folder);
                    // Not empty: something that is not the update's lives there now; leave it.
                    if (error && !FS::IsNotFound(error) && !FS::IsNotEmpty(error))
                    {
                        return FolderFailure(FS::DisplayPath(folder), SystemErrorText(error));
                    }
                }
                if (const std::error_code error = FS::RemoveTree(layout.WorkFolder(plan.GetTag())))
                {
                    return FileFailure(FS::DisplayPath(layout.WorkFolder(plan.GetTag())), SystemErrorText(error));
                }
                return std::nullopt;
            }

            // ---------------------------------------------------------------------------------------
            // The journal and the run.

            // Picks a tag whose names meet nothing staged at the top, and makes the working folder.
            std::error_code MakeWorkFolder(const Layout& layout, UpdatePlan& plan)
            {
                std::error_code error;
                for (int attempt = 0; attempt < 16; ++attempt)
                {
                    const std::uint64_t tag = FS::RandomBits();
                    const NativeString folded = FS::FoldCase(WorkFolderName(tag));
                    bool meets = false;
                    for (std::size_t i = 0; i < plan.EntryCount() && !meets; ++i)
                    {
                        const NativeView name = NameOf(plan.Target(i));
                        meets = name.size() >= folded.size() &&
                                FS::FoldCase(NativeString(name.substr(0, folded.size()))) == folded;
                    }
                    if (meets)
                    {
                        continue;
                    }
                    plan.SetTag(tag);
                    error = FS::MakeFolder(layout.WorkFolder(tag));
                    if (!FS::IsAlreadyExisting(error))
                    {
                        return error;
                    }
                }
                return error ? error : std::make_error_code(std::errc::file_exists);
            }

            // The journal and every staged byte are on disk before the first change.
            Outcome WriteJournal(const Layout& layout, UpdatePlan& plan)
            {
                const std::string shownRoot = FS::DisplayPath(layout.Root());
                if (const std::error_code error = MakeWorkFolder(layout, plan))
                {
                    return FileFailure(shownRoot, SystemErrorText(error));
                }
                const std::uint64_t tag = plan.GetTag();
                std::error_code error = FS::WriteNewFile(layout.JournalDraft(tag), plan.Serialize());
                if (!error)
                {
                    error = FS::Rename(layout.JournalDraft(tag), layout.Journal(tag), FS::Replace::No);
                }
                if (!error)
                {
                    error = FS::FlushFileSystem(layout.Root());
                }
                std::uint64_t rootDevice = 0;
                std::uint64_t stagingDevice = 0;
                if (!error && !FS::FileSystemOf(layout.Root(), rootDevice) &&
                    !FS::FileSystemOf(layout.Staging(), stagingDevice) && rootDevice != stagingDevice)
                {
                    error = FS::FlushFileSystem(layout.Staging());
                }
                if (error)
                {
                    (void)FS::RemoveTree(layout.WorkFolder(tag));
                    return FileFailure(shownRoot, SystemErrorText(error));
                }
                return std::nullopt;
            }

            // Undoes everything after a failure; the report is the failure's, with a word on an undo
            // that could not finish.
            FailureReport FailAndUndo(const Layout& layout, const UpdatePlan& plan, std::size_t count,
                                      FailureReport failure)
            {
                if (Outcome undo = UndoUpdate(layout, plan, count))
                {
                    failure.error += " The installation could not be restored yet (" + LogText(*undo) +
                                     "); the next start of the updater restores it.";
                }
                return failure;
            }

            Outcome ApplyPlan(const Layout& layout, UpdatePlan& plan, const std::vector<NativeString>& fileSystems)
            {
                if (Outcome failed = WriteJournal(layout, plan))
                {
                    return failed;
                }
                RetryBudget budget(HeldFileBudget);
                Transaction transaction(layout, plan);
                std::size_t folder = 0;
                for (std::size_t i = 0; i < plan.EntryCount(); ++i)
                {
                    for (; folder < plan.FolderCount() && plan.Folder(folder).entry <= i; ++folder)
                    {
                        const NativeString path = layout.Installed(plan.FolderPath(folder));
                        const std::error_code error = FS::MakeFolder(path);
                        if (error && !FS::IsAlreadyExisting(error))
                        {
                            const std::string shownParent = FS::DisplayPath(layout.Installed(ParentOf(plan.Target(i))));
                            return FailAndUndo(layout, plan, i, FolderFailure(shownParent, SystemErrorText(error)));
                        }
                    }
                    if (StepError failed = transaction.Install(i, budget))
                    {
                        // A folder moved in whole is the folder that could not be made.
                        FailureReport failure =
                            plan.Entry(i).kind == EntryKind::Folder
                                ? FolderFailure(FS::DisplayPath(layout.Installed(plan.Target(i))), failed.Text())
                                : FileFailure(Layout::ShownStaged(plan.Source(i)), failed.Text());
                        return FailAndUndo(layout, plan, i + 1, std::move(failure));
                    }
                }
                // Every file system that received a file, and the journal's, before the update counts as done.
                for (const NativeString& fileSystem : fileSystems)
                {
                    if (const std::error_code error = FS::FlushFileSystem(fileSystem))
                    {
                        return FailAndUndo(layout, plan, plan.EntryCount(),
                                           FileFailure(FS::DisplayPath(fileSystem), SystemErrorText(error)));
                    }
                }
                const std::uint64_t tag = plan.GetTag();
                std::error_code error = FS::Rename(layout.Journal(tag), layout.Committed(tag), FS::Replace::No);
                if (!error)
                {
                    error = FS::FlushDirectory(layout.WorkFolder(tag));
                }
                if (error)
                {
                    return FailAndUndo(layout, plan, plan.EntryCount(),
                                       FileFailure(FS::DisplayPath(layout.Root()), SystemErrorText(error)));
                }
                return std::nullopt;
            }

            FailureReport RemovalFailure(std::string shownStaging)
            {
                return {Failure::StagingNotRemoved, std::move(shownStaging), {}};
            }

            // What the staging folder holds when a committed update is tidied up: this update's staged tree,
            // or, when a later run finishes the update, perhaps a newer one, which stays.
            enum class StagingHolds
            {
                ThisUpdate,
                MaybeNewer,
            };

            // After the commit the staging tree goes first, moved into the working folder in one step, so a
            // kill can never leave a half-deleted tree that looks staged. Returns a failed removal of the
            // staging tree.
            Outcome RetireStaging(const Layout& layout, const UpdatePlan& plan, StagingHolds staging)
            {
                RetryBudget budget(HeldFileBudget);
                const NativeString retired = layout.RetiredStaging(plan.GetTag());
                Outcome failed;
                if (staging == StagingHolds::ThisUpdate)
                {
                    const StepError moved = Retrying(budget, layout.Staging(), [&] {
                        return FS::Rename(layout.Staging(), retired, FS::Replace::No);
                    });
                    if (moved && !FS::IsNotFound(moved.error) &&
                        Retrying(budget, layout.Staging(), [&] { return FS::RemoveTree(layout.Staging()); }))
                    {
                        failed = RemovalFailure(FS::DisplayPath(layout.Staging()));
                    }
                }
                if (Retrying(budget, retired, [&] { return FS::RemoveTree(retired); }))
                {
                    // Left where the launcher can see it and its team knows to look; if that cannot be,
                    // the next run removes it from the working folder.
                    bool present = true;
                    (void)Exists(layout.Staging(), present);
                    if (!present)
                    {
                        (void)FS::Rename(retired, layout.Staging(), FS::Replace::No);
                    }
                    failed = RemovalFailure(FS::DisplayPath(layout.Staging()));
                }
                return failed;
            }

            // Then the replaced files, then the journal, then its folder: an empty working folder is the
            // mark of an update that was finished. Whatever cannot go yet waits for the next run.
            void DiscardCommitted(const Layout& layout, const UpdatePlan& plan)
            {
                RetryBudget budget(HeldFileBudget);
                const std::uint64_t tag = plan.GetTag();
                bool retiredLeft = true;
                if (Transaction(layout, plan).RemoveBackups(budget) ||
                    Exists(layout.RetiredStaging(tag), retiredLeft) || retiredLeft)
                {
                    return;
                }
                if (!FS::RemoveFile(layout.Committed(tag)))
                {
                    (void)FS::RemoveEmptyFolder(layout.WorkFolder(tag));
                }
            }

            struct JournalFound
            {
                std::uint64_t tag = 0;
                bool bIsCommitted = false;
                std::optional<UpdatePlan> plan; // empty: the run died before its journal was whole, or finished
                bool bIsEmpty = false;          // nothing left in the folder: the run had finished
            };

            std::vector<JournalFound> FindJournals(const Layout& layout)
            {
                std::vector<std::uint64_t> tags;
                (void)FS::ListFolder(layout.Root(), [&](const NativeString& name, EntryType type) {
                    std::uint64_t tag = 0;
                    if (type == EntryType::Directory && ParseWorkFolderName(name, tag))
                    {
                        tags.push_back(tag);
                    }
                });
                std::vector<JournalFound> found;
                for (const std::uint64_t tag : tags)
                {
                    JournalFound journal;
                    journal.tag = tag;
                    for (const bool committed : {true, false})
                    {
                        std::string bytes;
                        UpdatePlan plan;
                        const NativeString path = committed ? layout.Committed(tag) : layout.Journal(tag);
                        if (!FS::ReadWholeFile(path, bytes) && UpdatePlan::Parse(bytes, plan) && plan.GetTag() == tag)
                        {
                            journal.bIsCommitted = committed;
                            journal.plan = std::move(plan);
                            break;
                        }
                    }
                    if (!journal.plan)
                    {
                        journal.bIsEmpty = true;
                        (void)FS::ListFolder(layout.WorkFolder(tag),
                                             [&](const NativeString&, EntryType) { journal.bIsEmpty = false; });
                    }
                    found.push_back(std::move(journal));
                }
                return found;
            }

            // Whatever an earlier run left half done: undone when it had not committed, finished when it had.
            // `finished` tells that an earlier run's update was completed here.
            Outcome RecoverInterrupted(const Layout& layout, bool& finished)
            {
                for (JournalFound& journal : FindJournals(layout))
                {
                    if (!journal.plan)
                    {
                        // Nothing is changed before the journal is whole and on disk, and nothing is left
                        // but the folder once an update is finished.
                        (void)FS::RemoveTree(layout.WorkFolder(journal.tag));
                        finished = finished || journal.bIsEmpty;
                    }
                    else if (journal.bIsCommitted)
                    {
                        (void)RetireStaging(layout, *journal.plan, StagingHolds::MaybeNewer);
                        DiscardCommitted(layout, *journal.plan);
                        finished = true;
                    }
                    else if (Outcome failed = UndoUpdate(layout, *journal.plan, journal.plan->EntryCount()))
                    {
                        failed->error += " (while restoring the installation after an interrupted update)";
                        return failed;
                    }
                }
                return std::nullopt;
            }

            Outcome RunUpdate()
            {
                NativeString root;
                if (const std::error_code error = FS::InstallationRoot(root))
                {
                    return FileFailure(".", SystemErrorText(error));
                }
                const Layout layout(root);
                bool finishedEarlier = false;
                if (Outcome failed = RecoverInterrupted(layout, finishedEarlier))
                {
                    return failed;
                }
                EntryType staging = EntryType::Missing;
                if (const std::error_code error = FS::StatusFollowingLinks(layout.Staging(), staging))
                {
                    return FileFailure(Protocol::StagingFolder, SystemErrorText(error));
                }
                if (staging == EntryType::Missing && finishedEarlier)
                {
                    return std::nullopt; // the interrupted update was the whole job
                }
                UpdatePlan plan;
                Planner planner(layout, plan);
                if (Outcome failed = planner.Run())
                {
                    return failed;
                }
                if (plan.EntryCount() == 0)
                {
                    return std::nullopt;
                }
                return ApplyPlan(layout, plan, planner.FileSystemFolders());
            }
        }

        std::filesystem::path LogFilePath()
        {
            NativeString root;
            if (FS::InstallationRoot(root) || root == FS::FromAscii("."))
            {
                return Protocol::LogFilePath;
            }
            const NativeString folder = Join(root, FS::FromAscii(Protocol::LogFolderName));
            (void)FS::MakeFolder(folder); // a failure is the logging's to report
            return Join(folder, FS::FromAscii(Protocol::LogFileName));
        }

        Outcome CopyUpdateTree()
        {
            try
            {
                return RunUpdate();
            }
            catch (const std::exception& exception)
            {
                return FileFailure(Protocol::StagingFolder, SanitizeUtf8(exception.what()));
            }
            catch (...)
            {
                return FileFailure(Protocol::StagingFolder, "Unknown error.");
            }
        }

        Outcome RemoveUpdateTree()
        {
            try
            {
                NativeString root;
                if (FS::InstallationRoot(root))
                {
                    return RemovalFailure(Protocol::StagingFolder);
                }
                const Layout layout(root);
                bool committed = false;
                Outcome failed;
                for (JournalFound& journal : FindJournals(layout))
                {
                    if (journal.plan && journal.bIsCommitted)
                    {
                        committed = true;
                        Outcome retired = RetireStaging(layout, *journal.plan, StagingHolds::ThisUpdate);
                        if (!failed)
                        {
                            failed = std::move(retired);
                        }
                    }
                }
                if (committed)
                {
                    return failed;
                }
                // Nothing was installed (no file staged): no journal, only the tree to remove.
                RetryBudget budget(HeldFileBudget);
                if (Retrying(budget, layout.Staging(), [&] { return FS::RemoveTree(layout.Staging()); }))
                {
                    return RemovalFailure(FS::DisplayPath(layout.Staging()));
                }
                return std::nullopt;
            }
            catch (...)
            {
                return RemovalFailure(Protocol::StagingFolder);
            }
        }
    }

    bool CopyUpdateFiles(Logger* logger)
    {
        const Update::Outcome failed = Update::CopyUpdateTree();
        if (failed)
        {
            ReportFailure(logger, *failed);
        }
        return !failed;
    }

    void RemoveReplacedFiles()
    {
        try
        {
            Update::NativeString root;
            if (Update::FileSystem::InstallationRoot(root))
            {
                return;
            }
            const Update::Layout layout(root);
            for (Update::JournalFound& journal : Update::FindJournals(layout))
            {
                if (journal.plan && journal.bIsCommitted)
                {
                    Update::DiscardCommitted(layout, *journal.plan);
                }
            }
        }
        catch (...)
        {
            // What is left is removed by the next run.
        }
    }

    void RemoveUpdateFiles(Logger* logger)
    {
        if (const Update::Outcome failed = Update::RemoveUpdateTree())
        {
            ReportFailure(logger, *failed);
        }
    }
}
