// Hover help: the run buttons and the mode toggle explain themselves in the tip window.
#include "help/help_texts.h"
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::ShowToolTip(int i) {
  const std::int32_t x = platform::RoundHalfEven(cmdQuit.Bounds().left);
  const std::int32_t y = platform::RoundHalfEven(cmdQuit.Bounds().top);
  switch (i) {
    case 1:
    case 2:
    case 3: tip_->SetToolTip(*form_, HelpText(i, ManualMode()), x, y); break;
    case 4: tip_->SetToolTip(*form_, HelpText(i, false), x, y); break;
    default:
      if (tip_->Visible()) {
        tip_->Hide();
        form_->SetFocus();
      }
  }
}

}  // namespace kalvenor
