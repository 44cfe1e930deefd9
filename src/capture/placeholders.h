#pragma once
// Where a captured string names the component itself (its path, its short name or its folder),
// so that each export names the installed copy there in its own way.

#include <string>
#include <string_view>

#include "capture/captured.h"

namespace kalvenor::capture {

// How an export names the installed component: its path, its short name, its folder alone and
// its folder with the backslash that follows it; and what it writes for the "\\?\" that
// RegisterTypeLib puts before a path.
struct Naming {
  std::string file, shortFile, folder, folderSlash, longPrefix;
};

// The component's file name, without its folder.
std::string BareName(const Captured& component);

// What an export writes of the text around those places.
using Literal = std::string (*)(std::string_view text);
std::string Verbatim(std::string_view text);

// `text` with each place that names the component's path or an alias of it (alone, before a
// resource index as in "x.dll\2", or in a res:// URL) or the folder of either (as a whole:
// neither a file in it nor another folder whose name begins with it), in any letter case and with
// or without "\\?\", written as `naming` names it; the rest through `literal`.
std::string WithPlaceholders(std::string_view text, const Captured& component, const Naming& naming,
                             Literal literal = Verbatim);

}  // namespace kalvenor::capture
