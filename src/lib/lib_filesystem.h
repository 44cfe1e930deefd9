#pragma once
// Path helpers and the safe file copy.

#include <string>
#include <string_view>

#include "platform/system.h"

namespace kalvenor {

// True when a file (hidden and system ones included, folders not) exists at `p_path`. Any
// failure of the lookup counts as "no"; a pattern is no file.
bool File_Exists(const platform::Files& files, std::string_view p_path);

// The part of `p_path` after its last backslash; the whole text when it has none.
std::string File_GetName(std::string_view p_path);

// Copies `source` over `destination` so that the destination is either the complete new file
// or exactly the old one: the data goes to a temporary file beside the destination, which then
// takes the destination's place in one step. On failure the temporary file is removed. The
// copy keeps the source's attributes but read-only, which would keep it from being replaced.
platform::Status File_CopyReplacing(platform::System& system, std::string_view source,
                                    std::string_view destination);
// The first half of it: the copy under the temporary name beside the destination, which it
// returns, on the disk before it may take the destination's name; each piece copied goes to
// `sink` too, so that what is said of the copy (its SHA-256) is of the bytes it holds. Nothing
// is left of a copy that fails.
platform::Result<std::string> File_CopyBeside(platform::System& system, std::string_view source,
                                              std::string_view destination,
                                              const platform::PieceSink& sink);

// Writes `bytes` as the whole file at `path` in the same way: the old file or the new one.
platform::Status File_WriteReplacing(platform::System& system, std::string_view path,
                                     std::string_view bytes);

}  // namespace kalvenor
