#pragma once
// Unattended runs for deployment tools: the command line's command, run by the program's own
// window, shown at the done prompt for a technician or not at all with /quiet, and an exit
// code that such tools understand without configuration.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/services.h"

namespace kalvenor::cli {

// `args` are those after the program's name. `waitForWindow` runs the window until it is closed,
// for a run that shows it.
int RunCommandLine(platform::Services& services, const std::vector<std::string>& args,
                   const std::function<void()>& waitForWindow);

// Ends an unattended run that failed outside its steps: the program could not start, or stopped
// on an unexpected error. The reason goes to the console that started the program or, with none
// and without /quiet, to `showBox`; and as a failed line to the /log: file, if one is named:
// after the run's lines when `logStarted`, else in place of an older log. Returns kExitFailed.
int StopUnattended(platform::System& system, const std::vector<std::string>& args,
                   std::string_view why, bool logStarted,
                   const std::function<void(const std::string&)>& showBox);

}  // namespace kalvenor::cli
