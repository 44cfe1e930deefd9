#pragma once

#include <string>
#include <string_view>

namespace kalvenor {

// The text without the blanks (spaces) at both ends.
std::string TrimBlanks(std::string_view text);

// The text with A to Z lowered and nothing else changed: for names that Windows matches
// without regard to case and that are ASCII, such as DLL names and paths' folders.
std::string AsciiLower(std::string_view text);

}  // namespace kalvenor
