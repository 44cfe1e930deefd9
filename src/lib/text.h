#pragma once

#include <string>
#include <string_view>

namespace kalvenor {

// The text without the blanks (spaces) at both ends.
std::string TrimBlanks(std::string_view text);

}  // namespace kalvenor
