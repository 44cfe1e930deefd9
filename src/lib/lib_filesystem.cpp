#include "lib/lib_filesystem.h"

namespace kalvenor {

bool File_Exists(const platform::Files& files, std::string_view p_path) {
  const platform::FileState state = files.StateOf(p_path);
  return state.exists && !state.folder;
}

std::string File_GetName(std::string_view p_path) {
  const std::size_t lastBackslash = p_path.rfind('\\');
  if (lastBackslash == std::string_view::npos) return std::string(p_path);
  return std::string(p_path.substr(lastBackslash + 1));
}

namespace {

// Makes the new content under a temporary name beside the destination, to take the
// destination's place in one step: the destination is the complete new file or exactly the old
// one. The name is this process's own, so that two programs at the same destination never take
// each other's; one left behind by a power cut is reused by the next process of its id, and one
// of the fixed name that earlier versions used, which no process uses now, goes.
template <class Make>
platform::Result<std::string> MadeBeside(platform::System& system, std::string_view destination,
                                         std::string_view suffix, Make make) {
  const std::string earlier = std::string(destination) + std::string(suffix);
  const std::string temporary = earlier + "-" + std::to_string(system.ProcessId());
  (void)system.Delete(earlier);
  (void)system.Delete(temporary);
  platform::Status made = make(temporary);
  if (made.ok()) return temporary;
  (void)system.Delete(temporary);
  return made.error();
}

platform::Status PutInPlace(platform::System& system, platform::Result<std::string> made,
                            std::string_view destination) {
  if (!made.ok()) return made.error();
  platform::Status placed = system.Replace(made.value(), destination);
  if (!placed.ok()) (void)system.Delete(made.value());
  return placed;
}

}  // namespace

platform::Result<std::string> File_CopyBeside(platform::System& system, std::string_view source,
                                              std::string_view destination) {
  return MadeBeside(system, destination, ".kalvenor-copy", [&](const std::string& to) {
    const platform::Status copied = system.CopyNew(source, to);
    // The copy has the source's attributes. Read-only (as every file copied from a CD is), it
    // could not be deleted should the step fail, nor replaced or removed by later runs.
    platform::FileState state = system.StateOf(to);
    if (!copied.ok() || !state.readOnly) return copied;
    state.readOnly = false;
    return system.SetAttributes(to, state);
  });
}

platform::Status File_CopyReplacing(platform::System& system, std::string_view source,
                                    std::string_view destination) {
  return PutInPlace(system, File_CopyBeside(system, source, destination), destination);
}

platform::Status File_WriteReplacing(platform::System& system, std::string_view path,
                                     std::string_view bytes) {
  return PutInPlace(system,
                    MadeBeside(system, path, ".kalvenor-save",
                               [&](const std::string& to) { return system.WriteNew(to, bytes); }),
                    path);
}

}  // namespace kalvenor
