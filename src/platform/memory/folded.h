#pragma once
// Paths as the memory platform keeps them: compared without letter case, as Windows does.

#include <string>
#include <string_view>

namespace kalvenor::platform::memory {

inline std::string Folded(std::string_view path) {
  std::string folded(path);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

inline std::string_view FolderOf(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

inline std::string_view NameOf(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace kalvenor::platform::memory
