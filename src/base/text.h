#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kalvenor {

// The text without the blanks (spaces) at both ends.
std::string TrimBlanks(std::string_view text);

// The text with A to Z lowered and nothing else changed: for names that Windows matches
// without regard to case and that are ASCII, such as DLL names and paths' folders.
std::string AsciiLower(std::string_view text);

// The non-empty parts of a list such as PATH, in their order.
std::vector<std::string> SplitList(std::string_view list, char separator);

// The number in decimal, with zeros in front to at least `width` digits ("%0*llu").
std::string Padded(std::uint64_t value, int width);

// The number in hex digits, upper-case or not, with zeros in front to at least `width` digits.
std::string HexDigits(std::uint64_t value, int width, bool upper = true);
// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

}  // namespace kalvenor
