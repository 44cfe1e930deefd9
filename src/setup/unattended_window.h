#pragma once
// The Setup window as an unattended run without /quiet shows it: the run's log as it goes, and
// a done prompt whose click or key ends the program with that run's exit code.

#include <functional>
#include <memory>
#include <utility>

#include "cli/unattended.h"
#include "setup/frm_setup.h"

namespace kalvenor {

class UnattendedWindow final : public cli::RunWindow {
 public:
  // `runUntilClosed` runs the toolkit's message loop until the last window has gone.
  UnattendedWindow(platform::Services& services, std::function<void()> runUntilClosed)
      : services_(services), runUntilClosed_(std::move(runUntilClosed)) {}
  void Open(engine::Engine& engine, const engine::Plan& plan) override;
  void WaitUntilClosed() override;

 private:
  platform::Services& services_;
  std::function<void()> runUntilClosed_;
  Selection selection_;
  std::unique_ptr<frmSetup> window_;
};

}  // namespace kalvenor
