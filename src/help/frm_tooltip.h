#pragma once
// The tip window: a borderless, top-most window that unrolls a help text downward.

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/services.h"

namespace kalvenor {

enum class TipId : int { ttBorder = 201, lblToolTip };

class frmToolTip final : public platform::FormEvents {
 public:
  // Loads the window, hidden.
  explicit frmToolTip(platform::Services& services);

  // Shows `sToolTip` with its top-left corner at the owner's outer corner plus (x, y) twips and
  // unrolls it. Does nothing while the tip is visible.
  void SetToolTip(platform::Form& frm, std::string_view sToolTip, std::int32_t x, std::int32_t y);
  bool Visible() const { return form_->Visible(); }
  void Hide() { form_->Hide(); }
  platform::Form& Window() { return *form_; }

 private:
  void Form_Load();
  void Form_Click();
  void lblToolTip_Click();
  bool SetTopMost(bool topMost);
  void Unroll();
  void MoveAndFit(std::int32_t x, std::int32_t y);
  // Where SetToolTip puts the window: the owner's corner plus the offsets, rounded.
  static std::int32_t Offset(platform::Twips edge, std::int32_t offset);

  void OnClick(int controlId) override;
  void OnMouseMove(int) override {}
  void OnKeyPress(int) override {}
  void OnUnload(bool&) override {}

  platform::Services& services_;
  std::unique_ptr<platform::Form> form_;
  platform::Control& ttBorder;
  platform::Control& lblToolTip;
};

}  // namespace kalvenor
