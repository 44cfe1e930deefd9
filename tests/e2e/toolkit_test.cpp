// An exception thrown while a window procedure runs never crosses into Windows: it is kept, and
// reaches whoever dispatched the message once that returns, as a run waiting in DoEvents.
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/win32/win32_form.h"
#include "platform/win32/win32_toolkit.h"

namespace kalvenor::e2e {
namespace {

struct ThrowingEvents final : platform::FormEvents {
  void OnClick(int) override { throw std::runtime_error("clicked"); }
  void OnMouseMove(int) override {}
  void OnKeyPress(int) override {}
  void OnUnload(bool&) override {}
};

TEST(Toolkit, AnExceptionInAWindowProcedureReachesDoEvents) {
  constexpr int kButton = 1;
  platform::FormDescription desc{.caption = "Throwing", .clientWidth = 3000, .clientHeight = 2000};
  desc.controls.push_back({.id = kButton,
                           .type = platform::ControlType::Button,
                           .caption = "OK",
                           .bounds = {0, 0, 1000, 400},
                           .tabIndex = 0});
  win32::Win32Toolkit toolkit(::GetModuleHandleW(nullptr));
  ThrowingEvents events;
  std::unique_ptr<platform::Form> form = toolkit.CreateForm(desc, events);
  form->Show();
  toolkit.DoEvents();
  const HWND window = static_cast<win32::Win32Form&>(*form).Handle();
  ASSERT_TRUE(::PostMessageW(window, WM_COMMAND, MAKEWPARAM(kButton, BN_CLICKED),
                             reinterpret_cast<LPARAM>(::GetDlgItem(window, kButton))));
  EXPECT_THROW(toolkit.DoEvents(), std::runtime_error);
  EXPECT_NO_THROW(toolkit.DoEvents()) << "rethrown once only";
}

}  // namespace
}  // namespace kalvenor::e2e
