#pragma once
// Process launch and pause, keeping the window responsive while they wait.

#include <cstdint>
#include <string_view>

#include "platform/services.h"

namespace kalvenor {

// Starts `program` with `commandLine` in the current folder `folder` and returns its exit code
// once it has ended, processing window events meanwhile; its windows are flashed once should it
// still run after 3 s. A start failure comes back as the error.
platform::Result<std::uint32_t> ShellAndWait(platform::Services& services, std::string_view program,
                                             std::string_view commandLine, std::string_view folder,
                                             platform::ShowWindow show);

// Waits `delay` milliseconds, processing window events meanwhile. Pause(0) processes none.
void Pause(platform::Services& services, std::int32_t delay);

}  // namespace kalvenor
