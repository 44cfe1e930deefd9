#include "lib/text.h"

#include <algorithm>

namespace kalvenor {

std::string TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::vector<std::string> SplitList(std::string_view list, char separator) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t end = std::min(list.find(separator, start), list.size());
    if (end > start) parts.emplace_back(list.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace kalvenor
