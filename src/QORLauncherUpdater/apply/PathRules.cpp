#include "apply/PathRules.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

namespace QOR::Update
{
    namespace
    {
        constexpr bool IsWindows = Separator == NativeChar('\\');

        bool IsAnySeparator(NativeChar c)
        {
            return c == NativeChar('/') || c == Separator;
        }

        bool IsDot(NativeView element)
        {
            return element.size() == 1 && element[0] == NativeChar('.');
        }

        bool IsDotDot(NativeView element)
        {
            return element.size() == 2 && element[0] == NativeChar('.') && element[1] == NativeChar('.');
        }

        // Calls `each` for every element of `path`, split at either separator; stops when it returns false.
        template<class Each>
        bool ForEachElement(NativeView path, Each each)
        {
            std::size_t start = 0;
            for (std::size_t i = 0; i <= path.size(); ++i)
            {
                if (i == path.size() || IsAnySeparator(path[i]))
                {
                    if (!each(path.substr(start, i - start)))
                    {
                        return false;
                    }
                    start = i + 1;
                }
            }
            return true;
        }
    }

    NativeString Join(NativeView folder, NativeView name)
    {
        NativeString path(folder);
        if (!name.empty())
        {
            if (!path.empty() && path.back() != Separator)
            {
                path.push_back(Separator);
            }
            path.append(name);
        }
        return path;
    }

    NativeView ParentOf(NativeView relative)
    {
        const std::size_t cut = relative.find_last_of(Separator);
        return cut == NativeView::npos ? NativeView{} : relative.substr(0, cut);
    }

    NativeView NameOf(NativeView relative)
    {
        const std::size_t cut = relative.find_last_of(Separator);
        return cut == NativeView::npos ? relative : relative.substr(cut + 1);
    }

    NativeView FirstElementOf(NativeView relative)
    {
        return relative.substr(0, relative.find(Separator));
    }

    bool IsInside(NativeView path, NativeView folder)
    {
        return path.size() >= folder.size() && path.substr(0, folder.size()) == folder &&
               (path.size() == folder.size() || path[folder.size()] == Separator);
    }

    bool IsSafeRelative(NativeView path)
    {
        if (path.empty())
        {
            return false;
        }
        return ForEachElement(path,
                              [](NativeView element) {
                                  if (element.empty() || IsDot(element) || IsDotDot(element))
                                  {
                                      return false;
                                  }
                                  for (const NativeChar c : element)
                                  {
                                      if (c == NativeChar('\0'))
                                      {
                                          return false;
                                      }
                                      if (IsWindows &&
                                          (c == NativeChar('/') || c == NativeChar(':') || c < NativeChar(0x20)))
                                      {
                                          return false;
                                      }
                                  }
                                  return true;
                              }) &&
               (!IsWindows || path.find(NativeChar('/')) == NativeView::npos);
    }

    std::optional<NativeString> LinkDestination(NativeView linkRelative, NativeView text)
    {
        if (text.empty() || IsAnySeparator(text.front()))
        {
            return std::nullopt;
        }
        // "C:..." on Windows: another drive, or a path relative to one.
        if (IsWindows && text.size() >= 2 && text[1] == NativeChar(':'))
        {
            return std::nullopt;
        }
        std::vector<NativeView> elements;
        const auto push = [&elements](NativeView element) {
            if (element.empty() || IsDot(element))
            {
                return true;
            }
            if (IsDotDot(element))
            {
                if (elements.empty())
                {
                    return false;
                }
                elements.pop_back();
                return true;
            }
            elements.push_back(element);
            return true;
        };
        if (!ForEachElement(ParentOf(linkRelative), push) || !ForEachElement(text, push) || elements.empty())
        {
            return std::nullopt;
        }
        NativeString destination;
        for (const NativeView element : elements)
        {
            destination = Join(destination, element);
        }
        return destination;
    }

    bool LooksLikeShortName(NativeView name)
    {
        const std::size_t dot = name.find(NativeChar('.'));
        const NativeView base = name.substr(0, dot);
        const NativeView extension = dot == NativeView::npos ? NativeView() : name.substr(dot + 1);
        if (base.empty() || base.size() > 8 || extension.size() > 3 || (dot != NativeView::npos && extension.empty()) ||
            base.find(NativeChar('~')) == NativeView::npos)
        {
            return false;
        }
        // A second dot is among the excluded characters.
        const auto isAllowed = [](NativeChar c) {
            const auto code = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<NativeChar>>(c));
            constexpr std::string_view Excluded = "\"*+,./:;<=>?[\\]| ";
            return code >= 0x20 && (code > 0x7F || Excluded.find(static_cast<char>(code)) == std::string_view::npos);
        };
        return std::all_of(base.begin(), base.end(), isAllowed) &&
               std::all_of(extension.begin(), extension.end(), isAllowed);
    }
}
