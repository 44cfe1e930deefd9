#pragma once

#include <string_view>

namespace kalvenor::platform {

// Matches a file name against a pattern with * (any run) and ? (one character), ignoring the
// letter case of ASCII letters as Windows does for the names this program looks for. Both are
// UTF-8; ? stands for one code point.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// True when the text holds * or ?.
bool HasWildcards(std::string_view text);

}  // namespace kalvenor::platform
