#include "lib/lib_filesystem.h"

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

platform::Status File_CopyReplacing(platform::System& system, std::string_view source,
                                    std::string_view destination) {
  // A fixed name, so that a temporary file left behind by a power cut is reused, not piled up.
  const std::string temporary = std::string(destination) + ".kalvenor-copy";
  (void)system.Delete(temporary);
  platform::Status copied = system.CopyNew(source, temporary);
  if (!copied.ok()) {
    (void)system.Delete(temporary);
    return copied;
  }
  platform::Status replaced = system.Replace(temporary, destination);
  if (!replaced.ok()) (void)system.Delete(temporary);
  return replaced;
}

}  // namespace kalvenor
