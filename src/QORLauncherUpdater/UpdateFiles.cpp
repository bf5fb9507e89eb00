#include "UpdateFiles.h"

#include "Report.h"

#include <qor/Foundation/Foundation.h>
#include <qor/Utility/Utility.h>

#include <cstdint>
#include <exception>
#include <type_traits>
#include <vector>

namespace QOR
{
    namespace fs = std::filesystem;

    namespace Update
    {
        namespace
        {
            constexpr const char* ReplacementCharacter = "\xEF\xBF\xBD";

            void AppendUtf8(std::string& out, std::uint32_t codePoint)
            {
                if (codePoint < 0x80)
                {
                    out += static_cast<char>(codePoint);
                }
                else if (codePoint < 0x800)
                {
                    out += static_cast<char>(0xC0 | (codePoint >> 6));
                    out += static_cast<char>(0x80 | (codePoint & 0x3F));
                }
                else if (codePoint < 0x10000)
                {
                    out += static_cast<char>(0xE0 | (codePoint >> 12));
                    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (codePoint & 0x3F));
                }
                else
                {
                    out += static_cast<char>(0xF0 | (codePoint >> 18));
                    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
                    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (codePoint & 0x3F));
                }
            }

            // UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
            template <class WideChar>
            std::string WideToUtf8(const std::basic_string<WideChar>& wide)
            {
                std::string out;
                out.reserve(wide.size());
                for (std::size_t i = 0; i < wide.size(); ++i)
                {
                    const auto unit = static_cast<std::uint32_t>(wide[i]) & 0xFFFF;
                    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size())
                    {
                        const auto next = static_cast<std::uint32_t>(wide[i + 1]) & 0xFFFF;
                        if (next >= 0xDC00 && next <= 0xDFFF)
                        {
                            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                            ++i;
                            continue;
                        }
                    }
                    if (unit >= 0xD800 && unit <= 0xDFFF)
                    {
                        out += ReplacementCharacter;
                        continue;
                    }
                    AppendUtf8(out, unit);
                }
                return out;
            }

            // Narrow native text (POSIX) is checked; wide native text (Windows) is converted.
            template <class NativeString>
            std::string NativeToUtf8(const NativeString& native)
            {
                if constexpr (std::is_same_v<typename NativeString::value_type, char>)
                {
                    return SanitizeUtf8(native);
                }
                else
                {
                    return WideToUtf8(native);
                }
            }

            std::string CopyFailureText(const fs::path& source, const std::string& errorText)
            {
                return "Unable to copy update files. Aborting application. File:" + PathText(source) +
                       ". Err: " + errorText;
            }

            TreeCopyResult CopyFailure(const fs::path& source, const std::string& errorText)
            {
                return {false, CopyFailureText(source, errorText)};
            }

            struct PlannedCopy
            {
                fs::path source; // S, as the walk produced it
                fs::path target; // T
                fs::path parent; // P
            };

            // Walks the whole staging tree and maps every eligible file before anything is written, so
            // that a malformed tree (a file leading outside it) leaves the installation untouched.
            TreeCopyResult PlanCopies(const fs::path& stagingRoot, const fs::path& installation,
                                      std::vector<PlannedCopy>& plan)
            {
                std::error_code error;
                const fs::path realRoot = Platform::FinalPath(stagingRoot, error);
                if (error)
                {
                    return CopyFailure(stagingRoot, Platform::ErrorText(error));
                }

                const fs::path updaterName{UpdaterFileName};
                const fs::path stagingName = stagingRoot.filename();
                fs::path current = stagingRoot;
                fs::path resolvedFolder;
                fs::path realFolder;
                fs::recursive_directory_iterator walk(stagingRoot, error);
                for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error))
                {
                    const fs::path source = walk->path();
                    current = source;

                    // The listing already tells the type of an entry that is not a link: no status read.
                    std::error_code statusError;
                    const bool linked = walk->is_symlink(statusError) || statusError;
                    const fs::file_status status =
                        linked                            ? fs::status(source, statusError)
                        : walk->is_directory(statusError) ? fs::file_status(fs::file_type::directory)
                        : walk->is_regular_file(statusError) ? fs::file_status(fs::file_type::regular)
                                                             : fs::file_status(fs::file_type::unknown);
                    if (status.type() == fs::file_type::not_found ||
                        (statusError && Platform::IsMissingEntryError(statusError)))
                    {
                        continue; // vanished after being listed, or a link to nothing
                    }
                    if (statusError)
                    {
                        return CopyFailure(source, Platform::ErrorText(statusError));
                    }
                    if (fs::is_directory(status))
                    {
                        // Links and junctions to directories are never entered: their contents are not
                        // part of the staged tree.
                        if (Platform::IsLink(source))
                        {
                            walk.disable_recursion_pending();
                        }
                        continue;
                    }
                    if (!fs::is_regular_file(status))
                    {
                        continue;
                    }
                    // The updater never overwrites itself; exact, case-sensitive match at every depth.
                    if (source.filename().native() == updaterName.native())
                    {
                        continue;
                    }

                    // Folders that are links are never entered, so a file that is no link itself resolves
                    // to its folder's final path and its own name: one resolution per folder, not per file.
                    if (source.parent_path() != resolvedFolder)
                    {
                        resolvedFolder = source.parent_path();
                        std::error_code folderError;
                        realFolder = Platform::FinalPath(resolvedFolder, folderError);
                        if (folderError)
                        {
                            realFolder.clear(); // resolve each file on its own, with its own report
                        }
                    }
                    const fs::path realSource = linked || realFolder.empty() ? Platform::FinalPath(source, error)
                                                                             : realFolder / source.filename();
                    if (error)
                    {
                        return CopyFailure(source, Platform::ErrorText(error));
                    }
                    const fs::path relative = realSource.lexically_relative(realRoot);
                    if (relative.empty() || *relative.begin() == ".." || *relative.begin() == ".")
                    {
                        return CopyFailure(source, "The staged file leads outside the update folder.");
                    }
                    if (Platform::SameElement(*relative.begin(), stagingName))
                    {
                        // It would land in the staging tree, which is deleted right after the copy.
                        return CopyFailure(source, "The staged file would be installed inside the update folder.");
                    }
                    const fs::path target = installation / relative;
                    plan.push_back({source, target, target.parent_path()});
                }
                if (error)
                {
                    return CopyFailure(current, Platform::ErrorText(error));
                }
                return {true, {}};
            }

            // Files are copied in batches: every temporary file of a batch is written, the batch is made
            // durable with one flush, and only then is each renamed over its target, in walk order. So a
            // target is never replaced by data that a power cut could still lose, and the flush is paid once
            // per batch instead of once per file.
            constexpr std::size_t BatchFiles = 128;
            constexpr std::uintmax_t BatchBytes = std::uintmax_t{256} << 20;

            struct Staged
            {
                fs::path temporary;
                fs::path destination;
            };

            bool WrittenInBatch(const std::vector<Staged>& staged, const fs::path& temporary)
            {
                std::error_code ignored;
                for (const Staged& file : staged)
                {
                    if (fs::equivalent(file.temporary, temporary, ignored))
                    {
                        return true;
                    }
                }
                return false;
            }

            TreeCopyResult CopyBatch(const PlannedCopy* first, const PlannedCopy* last, const fs::path& installation,
                                     fs::path& createdFolder, const PlannedCopy*& next)
            {
                std::vector<Staged> staged;
                TreeCopyResult failure{true, {}};
                std::uintmax_t bytes = 0;
                const PlannedCopy* item = first;
                for (; item != last && staged.size() < BatchFiles && bytes < BatchBytes; ++item)
                {
                    std::error_code error;
                    if (item->parent != createdFolder)
                    {
                        fs::create_directories(item->parent, error);
                    }
                    if (error)
                    {
                        failure = {false, "Unable to create directory. Aborting application. Director:" +
                                              PathText(item->parent) + ". Err: " + Platform::ErrorText(error)};
                        break;
                    }
                    createdFolder = item->parent;
                    fs::path destination = item->target;
                    std::error_code ignored;
                    if (fs::is_directory(destination, ignored))
                    {
                        destination /= item->source.filename();
                    }
                    const fs::path temporary = TemporaryPathFor(destination);
                    if (fs::exists(temporary, ignored) && WrittenInBatch(staged, temporary))
                    {
                        // Two staged names meet in one target (a case-insensitive file system): the later
                        // one must replace the earlier one's result, as a file-by-file copy would.
                        break;
                    }
                    // A run killed earlier may have left its temporary file here.
                    Platform::DiscardTemporary(temporary);
                    // The absolute form of the walk's relative path, without asking for the current folder again.
                    error = Platform::WriteTemporary(installation / item->source, temporary);
                    if (error)
                    {
                        Platform::DiscardTemporary(temporary);
                        failure = CopyFailure(item->source, Platform::ErrorText(error));
                        break;
                    }
                    staged.push_back({temporary, destination});
                    bytes += fs::file_size(temporary, ignored) + 4096;
                }
                next = item;

                // What was written before a failure is still installed, as a file-by-file copy would have.
                if (const std::error_code error = staged.empty() ? std::error_code{} : Platform::FlushToDisk(installation))
                {
                    for (const Staged& file : staged)
                    {
                        Platform::DiscardTemporary(file.temporary);
                    }
                    return CopyFailure(installation, Platform::ErrorText(error));
                }
                for (std::size_t i = 0; i < staged.size(); ++i)
                {
                    if (const std::error_code error = Platform::CommitTemporary(staged[i].temporary, staged[i].destination))
                    {
                        for (std::size_t k = i; k < staged.size(); ++k)
                        {
                            Platform::DiscardTemporary(staged[k].temporary);
                        }
                        return CopyFailure(first[i].source, Platform::ErrorText(error));
                    }
                }
                return failure;
            }

            TreeCopyResult CopyPlanned(const std::vector<PlannedCopy>& plan, const fs::path& installation)
            {
                const PlannedCopy* const last = plan.data() + plan.size();
                fs::path createdFolder; // the parent made for the previous file: consecutive files share it
                for (const PlannedCopy* first = plan.data(); first != last;)
                {
                    TreeCopyResult batch = CopyBatch(first, last, installation, createdFolder, first);
                    if (!batch.copied)
                    {
                        return batch;
                    }
                }
                // The staging tree is deleted next: the renames must survive a power cut first.
                if (const std::error_code error = Platform::FlushToDisk(installation))
                {
                    return CopyFailure(installation, Platform::ErrorText(error));
                }
                return {true, {}};
            }

            TreeCopyResult CopyUpdateTreeUnguarded()
            {
                const fs::path stagingRoot{StagingRoot};
                std::error_code error;
                const fs::path installation = fs::current_path(error);
                if (error)
                {
                    return CopyFailure(".", Platform::ErrorText(error));
                }
                std::vector<PlannedCopy> plan;
                TreeCopyResult planned = PlanCopies(stagingRoot, installation, plan);
                if (!planned.copied)
                {
                    return planned;
                }
                return CopyPlanned(plan, installation);
            }
        }

        std::string SanitizeUtf8(std::string_view text)
        {
            // The platform's own conversion already replaces every ill-formed sequence; coming back from
            // UTF-16 then gives well-formed UTF-8.
            const WideTextResult wide = Utf8ToWide(text);
            return wide.error ? std::string(text.size(), '?') : WideToUtf8(wide.text);
        }

        std::string PathText(const fs::path& path)
        {
            return NativeToUtf8(path.native());
        }

        fs::path TemporaryPathFor(const fs::path& target)
        {
            fs::path name = target.filename();
            fs::path temporary{"."};
            temporary += name;
            temporary += ".qor-tmp";
            return target.parent_path() / temporary;
        }

        TreeCopyResult CopyUpdateTree()
        {
            try
            {
                return CopyUpdateTreeUnguarded();
            }
            catch (const std::exception& exception)
            {
                return CopyFailure(StagingRoot, SanitizeUtf8(exception.what()));
            }
            catch (...)
            {
                return CopyFailure(StagingRoot, "Unknown error.");
            }
        }

        std::string RemoveUpdateTree()
        {
            const std::string prefix = "Error: Unable to remove update files. Please delete ";
            try
            {
                const fs::path stagingRoot{StagingRoot};
                if (!Platform::RemoveTree(stagingRoot))
                {
                    return {};
                }
                std::error_code error;
                const fs::path absolute = fs::absolute(stagingRoot, error);
                return prefix + (error ? std::string(StagingRoot) : PathText(absolute.lexically_normal())) +
                       " manually.";
            }
            catch (...)
            {
                return prefix + StagingRoot + " manually.";
            }
        }
    }

    bool CopyUpdateFiles(Logger* logger)
    {
        const Update::TreeCopyResult result = Update::CopyUpdateTree();
        if (result.copied)
        {
            return true;
        }
        ReportFailure(logger, spdlog::source_loc{__FILE__, __LINE__, "CopyUpdateFiles"},
                      Update::CopyFailedBoxText, Update::BoxTitle, result.logText);
        return false;
    }

    void RemoveUpdateFiles()
    {
        const std::string boxText = Update::RemoveUpdateTree();
        if (!boxText.empty())
        {
            ShowBox(boxText, Update::BoxTitle);
        }
    }
}
