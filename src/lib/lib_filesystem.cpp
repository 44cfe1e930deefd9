#include "lib/lib_filesystem.h"

#include "lib/text.h"

namespace kalvenor {

bool File_Exists(platform::System& system, std::string_view p_path) {
  if (p_path.empty()) return false;
  return !system.Dir(p_path, platform::DirAttributes::Hidden).empty();
}

std::string File_GetName(std::string_view p_path) {
  const std::size_t lastBackslash = p_path.rfind('\\');
  if (lastBackslash == std::string_view::npos) return std::string(p_path);
  return std::string(p_path.substr(lastBackslash + 1));
}

std::string File_Rebased(std::string_view p_path, std::string_view from, std::string_view to) {
  while (from.ends_with('\\')) from.remove_suffix(1);
  const bool inside = !from.empty() && p_path.size() > from.size() && p_path[from.size()] == '\\' &&
                      AsciiLower(p_path.substr(0, from.size())) == AsciiLower(from);
  if (!inside) return std::string(p_path);
  return std::string(to) + std::string(p_path.substr(from.size()));
}

namespace {

// Makes the new content under a fixed temporary name beside the destination, then puts it in
// the destination's place in one step: the destination is the complete new file or exactly the
// old one. A fixed name, so that a temporary file left behind by a power cut is reused, not
// piled up.
template <class Make>
platform::Status ReplaceThroughTemporary(platform::System& system, std::string_view destination,
                                         std::string_view suffix, Make make) {
  const std::string temporary = std::string(destination) + std::string(suffix);
  (void)system.Delete(temporary);
  platform::Status made = make(temporary);
  if (made.ok()) made = system.Replace(temporary, destination);
  if (!made.ok()) (void)system.Delete(temporary);
  return made;
}

}  // namespace

platform::Status File_CopyReplacing(platform::System& system, std::string_view source,
                                    std::string_view destination) {
  return ReplaceThroughTemporary(system, destination, ".kalvenor-copy",
                                 [&](const std::string& to) { return system.CopyNew(source, to); });
}

platform::Status File_WriteReplacing(platform::System& system, std::string_view path,
                                     std::string_view bytes) {
  return ReplaceThroughTemporary(system, path, ".kalvenor-save",
                                 [&](const std::string& to) { return system.WriteNew(to, bytes); });
}

}  // namespace kalvenor
