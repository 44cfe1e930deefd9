// A window's last messages must never reach its object once that has begun to come apart. Here
// the program's own form is built and destroyed directly, while its log box has the focus: the
// focus leaves the box as the window goes, and the box tells its parent so.
//
// Memory freed while the quarantine is on is filled with a pattern and never handed out again,
// so a look into a destroyed member follows garbage pointers and faults, every time. A vectored
// handler counts the faults first, before anything could swallow them.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "platform/win32/win32_form.h"
#include "platform/win32/win32_toolkit.h"

namespace {

bool g_quarantine = false;
LONG g_faults = 0;

LONG CALLBACK CountFault(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) ++g_faults;
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void operator delete(void* memory) noexcept {
  if (memory && g_quarantine) {
    std::memset(memory, 0xDD, _msize(memory));
    return;
  }
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }

namespace kalvenor::e2e {
namespace {

using platform::ControlType;

struct IgnoredEvents final : platform::FormEvents {
  void OnClick(int) override {}
  void OnMouseMove(int) override {}
  void OnKeyPress(int) override {}
  void OnUnload(bool&) override {}
};

TEST(FormLifetime, NoMessageReachesAFormThatIsComingApart) {
  constexpr int kLog = 1;
  platform::FormDescription desc{.caption = "Lifetime", .clientWidth = 3000, .clientHeight = 2000};
  desc.controls.push_back(
      {.id = kLog, .type = ControlType::LogBox, .bounds = {0, 0, 3000, 1500}, .tabIndex = 0});
  desc.controls.push_back({.id = 2,
                           .type = ControlType::Button,
                           .caption = "OK",
                           .bounds = {0, 1500, 1000, 400},
                           .tabIndex = 1});
  win32::Win32Toolkit toolkit(::GetModuleHandleW(nullptr));
  IgnoredEvents events;
  std::unique_ptr<platform::Form> form = toolkit.CreateForm(desc, events);
  form->Show();
  form->SetFocus();
  form->TextBoxItem(kLog).Append("a line still to be handed over\r\n");
  ASSERT_TRUE(form->TextBoxItem(kLog).SetFocus());
  toolkit.DoEvents();
  const HWND window = static_cast<win32::Win32Form&>(*form).Handle();
  ASSERT_EQ(::GetParent(::GetFocus()), window) << "the log box must hold the focus";

  PVOID handler = ::AddVectoredExceptionHandler(1, &CountFault);
  g_quarantine = true;
  form.reset();
  g_quarantine = false;
  ::RemoveVectoredExceptionHandler(handler);

  EXPECT_EQ(g_faults, 0);
  EXPECT_FALSE(::IsWindow(window));
  EXPECT_TRUE(toolkit.Forms().empty());
}

}  // namespace
}  // namespace kalvenor::e2e
