#include "help/frm_tooltip.h"

#include "lib/lib_sistema.h"

namespace kalvenor {
namespace {

using platform::ControlDescription;
using platform::ControlType;

constexpr platform::Twips kMargin = 60;

platform::FormDescription TipFormDescription() {
  platform::FormDescription form;
  form.style = platform::FormStyle::Borderless;
  form.clientWidth = 4680;
  form.clientHeight = 3195;

  ControlDescription border;
  border.id = static_cast<int>(TipId::ttBorder);
  border.type = ControlType::Shape;
  border.bounds = {1830, 1950, 930, 705};

  ControlDescription label;
  label.id = static_cast<int>(TipId::lblToolTip);
  label.type = ControlType::Label;
  label.caption = "Label1";
  label.bounds = {645, 615, 480, 195};
  label.tabIndex = 0;

  form.controls = {border, label};
  return form;
}

platform::Rect WithPlace(platform::Rect rect, platform::Twips left, platform::Twips top) {
  rect.left = left;
  rect.top = top;
  return rect;
}

}  // namespace

frmToolTip::frmToolTip(platform::Services& services)
    : services_(services),
      form_(services.toolkit.CreateForm(TipFormDescription(), *this)),
      ttBorder(form_->Item(static_cast<int>(TipId::ttBorder))),
      lblToolTip(form_->Item(static_cast<int>(TipId::lblToolTip))) {
  Form_Load();
}

void frmToolTip::Form_Load() {
  lblToolTip.Move(WithPlace(lblToolTip.Bounds(), 0, 0));
  (void)SetTopMost(true);
}

void frmToolTip::SetToolTip(platform::Form& frm, std::string_view sToolTip, std::int32_t x,
                            std::int32_t y) {
  if (form_->Visible()) return;
  lblToolTip.SetCaption(sToolTip);
  MoveAndFit(Offset(frm.Bounds().left, x), Offset(frm.Bounds().top, y));
  form_->Show();
  frm.SetFocus();
  Unroll();
  // The full height, margins included, at the owner's current place.
  MoveAndFit(Offset(frm.Bounds().left, x), Offset(frm.Bounds().top, y));
}

std::int32_t frmToolTip::Offset(platform::Twips edge, std::int32_t offset) {
  return platform::RoundHalfEven(static_cast<double>(edge) + offset);
}

bool frmToolTip::SetTopMost(bool topMost) { return form_->SetTopMost(topMost); }

void frmToolTip::Unroll() {
  platform::Rect window = form_->Bounds();
  window.height = 0;
  form_->Move(window);
  for (int i = 0; i <= 10; ++i) {
    const platform::Twips labelHeight = lblToolTip.Bounds().height;
    window = form_->Bounds();
    window.height = static_cast<platform::Twips>(
        platform::RoundHalfEven(static_cast<double>(labelHeight) * i) / 10);
    form_->Move(window);
    Pause(services_, 5);
    services_.toolkit.DoEvents();
  }
}

void frmToolTip::MoveAndFit(std::int32_t x, std::int32_t y) {
  const platform::Rect label = WithPlace(lblToolTip.Bounds(), kMargin, kMargin);
  lblToolTip.Move(label);
  const platform::Rect window{static_cast<platform::Twips>(x), static_cast<platform::Twips>(y),
                              label.width + 2 * kMargin, label.height + 2 * kMargin};
  form_->Move(window);
  const platform::Rect placed = form_->Bounds();
  ttBorder.Move({0, 0, placed.width, placed.height});
}

void frmToolTip::Form_Click() { form_->Hide(); }

void frmToolTip::lblToolTip_Click() { form_->Hide(); }

void frmToolTip::OnClick(int controlId) {
  if (controlId == static_cast<int>(TipId::lblToolTip)) {
    lblToolTip_Click();
  } else {
    Form_Click();
  }
}

}  // namespace kalvenor
