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
                                              std::string_view destination,
                                              const platform::PieceSink& sink) {
  return MadeBeside(system, destination, ".kalvenor-copy", [&](const std::string& to) {
    const platform::Status copied = system.CopyNewDurably(source, to, sink);
    // The copy gets the source's hidden and system attributes, not its read-only one (as every
    // file copied from a CD has): it could not be deleted should the step fail, nor replaced or
    // removed by later runs.
    platform::FileState state = system.StateOf(source);
    if (!copied.ok() || (!state.hidden && !state.system)) return copied;
    state.readOnly = false;
    return system.SetAttributes(to, state);
  });
}

platform::Status File_CopyReplacing(platform::System& system, std::string_view source,
                                    std::string_view destination) {
  const auto ignored = [](std::span<const std::byte>) {
    return platform::Status(platform::Done{});
  };
  return PutInPlace(system, File_CopyBeside(system, source, destination, ignored), destination);
}

platform::Status File_WriteReplacing(platform::System& system, std::string_view path,
                                     std::string_view bytes) {
  return PutInPlace(system,
                    MadeBeside(system, path, ".kalvenor-save",
                               [&](const std::string& to) { return system.WriteNew(to, bytes); }),
                    path);
}

}  // namespace kalvenor
