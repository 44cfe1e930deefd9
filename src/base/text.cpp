#include "base/text.h"

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

// Written out here rather than with snprintf, whose full implementation the static program
// would otherwise carry for a few stamps and names.
namespace {

std::string Digits(std::uint64_t value, int width, unsigned base, const char* digits) {
  std::string text;
  do {
    text.insert(text.begin(), digits[value % base]);
    value /= base;
  } while (value != 0);
  if (static_cast<int>(text.size()) < width) {
    text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
  }
  return text;
}

}  // namespace

std::string Padded(std::uint64_t value, int width) {
  return Digits(value, width, 10, "0123456789");
}

std::string HexDigits(std::uint64_t value, int width, bool upper) {
  return Digits(value, width, 16, upper ? "0123456789ABCDEF" : "0123456789abcdef");
}

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      json += "\\u" + HexDigits(static_cast<unsigned char>(c), 4, false);
    } else {
      json += c;
    }
  }
  return json + "\"";
}

}  // namespace kalvenor
