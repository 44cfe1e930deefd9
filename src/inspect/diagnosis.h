#pragma once
// Why the registration tool failed on a component, read from the component's file and what it
// needs, without running any of its code.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inspect/dependencies.h"
#include "inspect/pe_image.h"
#include "inspect/registration_tool.h"
#include "platform/system.h"

namespace kalvenor::inspect {

// What the log says after the failed line, most likely first, at most kMaxCauses. Each starts
// with what is wrong and names a file only where it is not the copy, which the step's line
// names already. `exitCode` is the tool's, or nothing when it could not be started.
std::vector<std::string> Diagnose(platform::System& system, const Component& component,
                                  std::optional<std::uint32_t> exitCode);

// The DLLs the copy needs that the loader will not find from its folder, or will find and fail
// on, each worded as a cause; `later` for one loaded only when first used. `lookups` are kept
// across the components of a run that changes no file the loader searches.
struct DependencyCause {
  std::string dll, text;
  bool later = false;
};
std::vector<DependencyCause> DependencyCauses(platform::System& system, const Component& component,
                                              const PeImage& image, LoaderLookups& lookups);

}  // namespace kalvenor::inspect
