#pragma once
// Thin wrappers over the standard Win32 controls. Each keeps its rectangle in twips and turns
// the toolkit's properties into one or two messages; owner-drawn ones paint themselves.

#include <windows.h>

#include <memory>
#include <string>

#include "platform/toolkit.h"

namespace kalvenor::win32 {

class Win32Form;

// What every control window is to its form, whatever its interface to the logic.
class ControlWindow {
 public:
  ControlWindow(Win32Form& form, HWND window, const platform::ControlDescription& desc)
      : form_(form), window_(window), desc_(desc) {}
  ControlWindow(const ControlWindow&) = delete;
  ControlWindow& operator=(const ControlWindow&) = delete;
  virtual ~ControlWindow() = default;

  virtual platform::Control& AsControl() = 0;
  HWND Handle() const { return window_; }
  const platform::ControlDescription& Description() const { return desc_; }
  // Applies font, picture and rectangle again, after a change of DPI.
  void Relayout();
  // What depends on the font and the DPI besides the rectangle: a label's size, a picture.
  virtual void Refit() {}
  // Owner-drawn controls paint here.
  virtual void Draw(const DRAWITEMSTRUCT&) {}
  // A click, before the logic hears of it.
  virtual void Clicked() {}

 protected:
  std::string Text() const;
  void SetText(std::string_view text);
  // True when the control shows this text already: setting it again would only redraw it.
  bool Shows(std::string_view text) const;
  bool IsVisible() const;
  void Show(bool visible);
  bool IsEnabled() const;
  void Enable(bool enabled);
  bool Focus();
  void Place(const platform::Rect& bounds);

  Win32Form& form_;
  HWND window_;
  platform::ControlDescription desc_;  // its bounds follow every Move
};

template <class Interface>
class Win32Control : public ControlWindow, public Interface {
 public:
  using ControlWindow::ControlWindow;
  platform::Control& AsControl() override { return *this; }
  std::string Caption() const override { return Text(); }
  void SetCaption(std::string_view caption) override {
    if (!Shows(caption)) SetText(caption);
  }
  bool Visible() const override { return IsVisible(); }
  void SetVisible(bool visible) override { Show(visible); }
  bool Enabled() const override { return IsEnabled(); }
  void SetEnabled(bool enabled) override { Enable(enabled); }
  bool SetFocus() override { return Focus(); }
  platform::Rect Bounds() const override { return desc_.bounds; }
  void Move(const platform::Rect& bounds) override { Place(bounds); }
};

// Creates the control window of `desc` on the form's window; nothing when the system refuses.
std::unique_ptr<ControlWindow> CreateControl(Win32Form& form, HINSTANCE instance,
                                             const platform::ControlDescription& desc);

}  // namespace kalvenor::win32
