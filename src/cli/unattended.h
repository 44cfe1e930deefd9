#pragma once
// Unattended runs for deployment tools: the command line's command, run by the program's own
// window, shown at the done prompt for a technician or not at all with /quiet, and an exit
// code that such tools understand without configuration.

#include <functional>
#include <string>
#include <vector>

#include "platform/services.h"

namespace kalvenor::cli {

// `args` are those after the program's name. `waitForWindow` runs the window until it is closed,
// for a run that shows it.
int RunCommandLine(platform::Services& services, const std::vector<std::string>& args,
                   const std::function<void()>& waitForWindow);

}  // namespace kalvenor::cli
