#pragma once
// A top-level window built from a FormDescription, owning its HWND, its fonts and its icons.

#include <windows.h>
// After windows.h, which they depend on.
#include <shellapi.h>
#include <shobjidl.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/toolkit.h"
#include "platform/win32/handles.h"

namespace kalvenor::win32 {

class Win32Toolkit;
class ControlWindow;

class Win32Form final : public platform::Form {
 public:
  Win32Form(Win32Toolkit& toolkit, const platform::FormDescription& desc,
            platform::FormEvents& events);
  ~Win32Form() override;

  platform::Control& Item(int id) override;
  platform::ListBox& ListBoxItem(int id) override { return As<platform::ListBox>(id); }
  platform::TextBox& TextBoxItem(int id) override { return As<platform::TextBox>(id); }
  platform::CheckBox& CheckBoxItem(int id) override { return As<platform::CheckBox>(id); }
  platform::Image& ImageItem(int id) override { return As<platform::Image>(id); }

  std::string Caption() const override;
  void SetCaption(std::string_view caption) override;
  void Show() override;
  void Hide() override;
  bool Visible() const override;
  platform::Rect Bounds() const override;
  void Move(const platform::Rect& bounds) override;
  void SetFocus() override;
  bool SetTopMost(bool topMost) override;
  void Unload() override;
  bool Loaded() const override { return static_cast<bool>(window_); }
  void AcceptDrops(bool accept) override;
  void SetProgress(platform::Progress state, std::size_t done, std::size_t total) override;
  bool IsForeground() const override;
  void FlashUntilActive() override;
  void AddSystemMenuCommand(int command, std::string_view caption) override;

  // For the controls: a context menu was asked for on control `id`.
  void ContextMenu(int id) noexcept;

  HWND Handle() const { return window_.get(); }
  Win32Toolkit& Toolkit() const { return toolkit_; }
  // Keyboard preview, mouse moves over controls and dialog navigation; true when handled.
  bool PreTranslate(MSG& message);

  // For the controls: geometry in pixels at the window's DPI, fonts and pictures.
  UINT Dpi() const { return dpi_; }
  int Px(platform::Twips twips) const;
  platform::Twips Twips(int px) const;
  void Place(HWND control, const platform::Rect& bounds) const;
  HFONT FontFor(const platform::Font& font) const;
  // Loaded on first use: the tip window, for one, never shows a picture.
  HICON Icon(platform::Picture picture) const;
  // Pictures are 32 pixels square at 96 DPI.
  static constexpr platform::Twips kIconTwips = 480;
  SIZE MeasureText(HWND control, std::wstring_view text) const;

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept;
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  // Fonts, icons and every rectangle for the current DPI.
  void ApplyDpi(UINT dpi);
  // The DPI and the fonts at it; the window's icons and size.
  void SetDpi(UINT dpi);
  void FitWindow();
  void Draw(const DRAWITEMSTRUCT& item);
  void OnCommand(int id, int code);
  void OnDropFiles(HDROP drop);
  void ShowProgress();
  bool PlaceTopMost(bool topMost);
  template <class T>
  T& As(int id);
  using FontKey = std::tuple<std::string, float, bool>;
  static FontKey KeyOf(const platform::Font& font);

  Win32Toolkit& toolkit_;
  platform::FormDescription desc_;
  platform::FormEvents& events_;
  UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
  std::map<int, std::unique_ptr<ControlWindow>> controls_;
  // One font for each face, size and weight the controls name, at the current DPI.
  std::map<FontKey, UniqueFont> fonts_;
  mutable std::map<platform::Picture, UniqueIcon> icons_;
  UniqueIcon smallIcon_;
  // The task-bar button, once the shell has made it; the progress last asked for.
  UniqueCom<ITaskbarList3> taskbar_;
  platform::Progress progress_ = platform::Progress::None;
  std::size_t progressDone_ = 0, progressTotal_ = 0;
  bool acceptsDrops_ = false;
  std::optional<bool> topMostWhenShown_;  // asked for while hidden
  HWND lastFocus_ = nullptr;
  bool shownOnce_ = false;
  bool unloading_ = false;
  bool surfacePressed_ = false;
  // The program's commands in the system menu, and whether their separator is there.
  std::vector<int> systemCommands_;
  bool systemSeparator_ = false;
  // Last, so that it goes first: the window's last messages still find everything above whole.
  // Owned from WM_NCCREATE to WM_NCDESTROY, the span in which messages reach this object.
  UniqueWindow window_;
};

}  // namespace kalvenor::win32
