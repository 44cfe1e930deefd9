#pragma once
// Unattended runs for deployment tools: the command line's command, run by the engine, shown
// in a window for a technician or not at all with /quiet, and an exit code that such tools
// understand without configuration.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "platform/services.h"

namespace kalvenor::cli {

// The window that shows a run without /quiet: opened before the run starts, and waited for
// once it has ended, until the technician leaves its done prompt.
class RunWindow {
 public:
  virtual void Open(engine::Engine& engine, const engine::Plan& plan) = 0;
  virtual void WaitUntilClosed() = 0;

 protected:
  ~RunWindow() = default;
};

// `args` are those after the program's name.
int RunCommandLine(platform::Services& services, engine::Engine& engine,
                   const std::vector<std::string>& args, RunWindow& window);

// Ends an unattended run that failed outside its steps: the program could not start, or stopped
// on an unexpected error. The reason goes to the console that started the program or, with none
// and without /quiet, to `showBox`; a /log: file only ever gets it from the run that opened it
// under the run lock, never by its name here. Returns kExitFailed.
int StopUnattended(platform::System& system, const std::vector<std::string>& args,
                   std::string_view why, const std::function<void(const std::string&)>& showBox);

}  // namespace kalvenor::cli
