#include "setup/unattended_window.h"

namespace kalvenor {

// The items given show as a manual selection until the run's log takes their place.
void UnattendedWindow::Open(engine::Engine& engine, const engine::Plan& plan) {
  selection_ = {.manual = true, .silent = plan.silent, .m_fileArray = plan.items};
  window_ = std::make_unique<frmSetup>(services_, engine, selection_, frmSetup::Face::Unattended);
}

void UnattendedWindow::WaitUntilClosed() {
  if (window_) runUntilClosed_();
}

}  // namespace kalvenor
