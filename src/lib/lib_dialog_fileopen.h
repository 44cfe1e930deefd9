#pragma once
// The common file-open dialog.

#include <string>
#include <string_view>

#include "platform/toolkit.h"

namespace kalvenor {

// Longest path the dialog hands back.
inline constexpr std::size_t kFileOpenMaxPath = 254;

// The chosen full path, or an empty text when nothing was chosen (Cancel or failure).
std::string Dialog_FileOpen(platform::Toolkit& toolkit, platform::Form& p_owner,
                            std::string_view p_filterName, std::string_view p_filterPattern,
                            std::string_view p_title, std::string_view initialDir);

// `p_buffer` up to its first NUL character; all of it when it holds none.
std::string String_CutAtNull(std::string_view p_buffer);

}  // namespace kalvenor
