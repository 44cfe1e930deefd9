#pragma once
// Capture: each component's registration taken as data, in a contained helper process of its
// bitness that redirects the registry to a private key, and written out as installers and
// programs take it. Nothing on the machine changes: no journal, no copy, no live registration.

#include <string>
#include <vector>

#include "engine/plan.h"
#include "engine/run_context.h"

namespace kalvenor::engine {

// Captures each of `files` in turn, and writes the `exports` of those captured.
void CaptureRun(RunContext& run, const std::vector<std::string>& files, const Exports& exports);

}  // namespace kalvenor::engine
