#include "platform/win32/win32_controls.h"

#include <algorithm>

#include "platform/win32/handles.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_form.h"
#include "platform/win32/win32_toolkit.h"

namespace kalvenor::win32 {

using platform::ControlDescription;
using platform::ControlType;

// ---- Common properties

std::string ControlWindow::Text() const {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window_)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      ::GetWindowTextW(window_, text.data(), static_cast<int>(text.size()))));
  return Narrow(text);
}

void ControlWindow::SetText(std::string_view text) {
  ::SetWindowTextW(window_, Widen(text).c_str());
}

bool ControlWindow::Shows(std::string_view text) const {
  const std::wstring wide = Widen(text);
  if (static_cast<std::size_t>(::GetWindowTextLengthW(window_)) != wide.size()) return false;
  std::wstring shown(wide.size() + 1, L'\0');
  shown.resize(static_cast<std::size_t>(
      ::GetWindowTextW(window_, shown.data(), static_cast<int>(shown.size()))));
  return shown == wide;
}

// The control's own flag, as the logic set it, whether or not its window is on the screen yet.
bool ControlWindow::IsVisible() const {
  return (::GetWindowLongPtrW(window_, GWL_STYLE) & WS_VISIBLE) != 0;
}

void ControlWindow::Show(bool visible) { ::ShowWindow(window_, visible ? SW_SHOWNA : SW_HIDE); }

bool ControlWindow::IsEnabled() const { return ::IsWindowEnabled(window_) != FALSE; }

void ControlWindow::Enable(bool enabled) { ::EnableWindow(window_, enabled ? TRUE : FALSE); }

bool ControlWindow::Focus() {
  if (!IsVisible() || !IsEnabled()) return false;
  ::SetFocus(window_);
  return ::GetFocus() == window_;
}

void ControlWindow::Place(const platform::Rect& bounds) {
  desc_.bounds = bounds;
  form_.Place(window_, bounds);
}

void ControlWindow::Relayout() {
  ::SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(form_.FontFor(desc_.font)), FALSE);
  form_.Place(window_, desc_.bounds);
  Refit();
}

namespace {

// ---- Buttons

class PlainControl final : public Win32Control<platform::Control> {
 public:
  using Win32Control::Win32Control;
};

// Draws a push button face with a picture centred above the caption; pressed while the mouse
// holds it down or while `latched`.
void DrawPictureFace(Win32Form& form, const DRAWITEMSTRUCT& item, HICON icon, bool latched) {
  HDC dc = item.hDC;
  RECT face = item.rcItem;
  const bool pressed = latched || (item.itemState & ODS_SELECTED);
  const bool disabled = item.itemState & ODS_DISABLED;
  ::DrawFrameControl(dc, &face, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0));
  if (latched && !(item.itemState & ODS_SELECTED)) {
    // A latched toggle shows a dithered face, like a pressed toolbar toggle.
    RECT inner = face;
    ::InflateRect(&inner, -2, -2);
    ::FillRect(dc, &inner, ::GetSysColorBrush(COLOR_3DLIGHT));
  }
  const int shift = pressed ? 1 : 0;

  wchar_t caption[256] = {};
  ::GetWindowTextW(item.hwndItem, caption, 256);
  // A caption wider than the button wraps at its blanks, as picture buttons always did.
  const UINT format =
      DT_CENTER | DT_WORDBREAK | ((item.itemState & ODS_NOACCEL) ? DT_HIDEPREFIX : 0);
  const int margin = form.Px(45);
  RECT textBox{face.left + margin, 0, face.right - margin, 0};
  ::DrawTextW(dc, caption, -1, &textBox, format | DT_CALCRECT);
  const int iconSize = form.Px(Win32Form::kIconTwips);
  const int gap = form.Px(30);
  const int textHeight = textBox.bottom - textBox.top;
  const int top = face.top + (face.bottom - face.top - iconSize - gap - textHeight) / 2 + shift;
  const int iconLeft = face.left + (face.right - face.left - iconSize) / 2 + shift;

  if (icon) {
    ::DrawStateW(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(icon), 0, iconLeft, top, iconSize,
                 iconSize, DST_ICON | (disabled ? DSS_DISABLED : DSS_NORMAL));
  }
  RECT text{face.left + margin + shift, top + iconSize + gap, face.right - margin + shift,
            top + iconSize + gap + textHeight};
  ::SetBkMode(dc, TRANSPARENT);
  if (disabled) {
    // Embossed, as the system draws disabled captions.
    RECT light = text;
    ::OffsetRect(&light, 1, 1);
    ::SetTextColor(dc, ::GetSysColor(COLOR_3DHILIGHT));
    ::DrawTextW(dc, caption, -1, &light, format);
    ::SetTextColor(dc, ::GetSysColor(COLOR_GRAYTEXT));
  } else {
    ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
  }
  ::DrawTextW(dc, caption, -1, &text, format);

  if ((item.itemState & ODS_FOCUS) && !(item.itemState & ODS_NOFOCUSRECT)) {
    RECT focus = face;
    ::InflateRect(&focus, -4, -4);
    ::DrawFocusRect(dc, &focus);
  }
}

class PictureButton final : public Win32Control<platform::Control> {
 public:
  using Win32Control::Win32Control;
  void Draw(const DRAWITEMSTRUCT& item) override {
    DrawPictureFace(form_, item, form_.Icon(desc_.picture), false);
  }
};

// ---- Check boxes

class PlainCheckBox final : public Win32Control<platform::CheckBox> {
 public:
  using Win32Control::Win32Control;
  int Value() const override {
    return ::SendMessageW(window_, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
  }
  void SetValue(int value) override {
    ::SendMessageW(window_, BM_SETCHECK, value == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  void SetPicture(platform::Picture) override {}
};

// A check box drawn as a toggle button: its picture above its caption, latched while ticked.
class PictureToggle final : public Win32Control<platform::CheckBox> {
 public:
  PictureToggle(Win32Form& form, HWND window, const ControlDescription& desc)
      : Win32Control(form, window, desc), value_(desc.value), picture_(desc.picture) {}
  int Value() const override { return value_; }
  void SetValue(int value) override {
    value_ = value;
    ::InvalidateRect(window_, nullptr, FALSE);
  }
  void SetCaption(std::string_view caption) override {
    if (Shows(caption)) return;
    SetText(caption);
    ::InvalidateRect(window_, nullptr, FALSE);
  }
  void SetPicture(platform::Picture picture) override {
    if (picture == picture_) return;
    picture_ = picture;
    ::InvalidateRect(window_, nullptr, FALSE);
  }
  void Draw(const DRAWITEMSTRUCT& item) override {
    DrawPictureFace(form_, item, form_.Icon(picture_), value_ == 1);
  }
  void Clicked() override { SetValue(value_ == 1 ? 0 : 1); }

 private:
  int value_;
  platform::Picture picture_;
};

// ---- List and log

// Refilled with redrawing held off: under Wine every item added to a shown list box redraws its
// scroll bars, milliseconds each.
class Win32ListBox final : public Win32Control<platform::ListBox> {
 public:
  using Win32Control::Win32Control;
  void Clear() override {
    ::SendMessageW(window_, LB_RESETCONTENT, 0, 0);
    widest_ = 0;
    UpdateExtent();
  }
  void AddItem(std::string_view item) override {
    const std::wstring wide = Widen(item);
    ::SendMessageW(window_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    // Long paths are reached by scrolling sideways.
    const int width = form_.MeasureText(window_, wide).cx + form_.Px(90);
    if (width > widest_) {
      widest_ = width;
      UpdateExtent();
    }
  }
  std::size_t ListCount() const override {
    return static_cast<std::size_t>(::SendMessageW(window_, LB_GETCOUNT, 0, 0));
  }
  std::string List(std::size_t index) const override {
    const LRESULT length = ::SendMessageW(window_, LB_GETTEXTLEN, index, 0);
    if (length == LB_ERR) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::SendMessageW(window_, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()))));
    return Narrow(text);
  }

 private:
  void HoldRedraw(bool held) override {
    held_ = held;
    ::SendMessageW(window_, WM_SETREDRAW, held ? FALSE : TRUE, 0);
    if (held) return;
    UpdateExtent();
    ::RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
  }

  // The scrolling width, set only when the widest item needs the horizontal scroll bar, even
  // beside a vertical one, and once per refill: under Wine each change of it costs milliseconds,
  // though the bar stays hidden while the items fit.
  void UpdateExtent() {
    if (held_) return;
    RECT client{};
    ::GetClientRect(window_, &client);
    const bool vertical = ::GetWindowLongPtrW(window_, GWL_STYLE) & WS_VSCROLL;
    const int room =
        client.right - (vertical ? 0 : ::GetSystemMetricsForDpi(SM_CXVSCROLL, form_.Dpi()));
    const int extent = widest_ > room ? widest_ : 0;
    if (extent == extent_) return;
    extent_ = extent;
    ::SendMessageW(window_, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(extent), 0);
  }

  int widest_ = 0;
  int extent_ = 0;  // what the control was last given
  bool held_ = false;
};

// Appends in place instead of rewriting the whole text, so a long run stays linear. Lines are
// gathered and handed to the control at most a few times a second, or as soon as the program is
// idle: nothing is painted between two passes of the message loop anyway, and under Wine every
// change of the edit control's scroll bars costs milliseconds, which line by line would dominate
// a long run. The wait before the next hand-over grows with what the last one cost, so that the
// log never takes more than about a twentieth of a run's time.
class Win32LogBox final : public Win32Control<platform::TextBox>, private IdleWork {
 public:
  Win32LogBox(Win32Form& form, HWND window, const ControlDescription& desc)
      : Win32Control(form, window, desc) {
    // No cap beyond memory: the default limit would silently drop the end of a long run.
    ::SendMessageW(window_, EM_SETLIMITTEXT, 0, 0);
    // The edit control shows a menu of its own; the program's takes its place.
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    editProcedure_ = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
        window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Win32LogBox::Procedure)));
  }
  ~Win32LogBox() override {
    StopWaiting();
    if (::IsWindow(window_)) {
      ::SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(editProcedure_));
      ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    }
  }

  // The control's text and what it has yet to be handed.
  std::string Text() const override { return ControlWindow::Text() + Narrow(pending_); }
  void SetText(std::string_view text) override {
    StopWaiting();
    std::wstring().swap(pending_);
    ControlWindow::SetText(text);
  }
  void Append(std::string_view text) override {
    pending_ += Widen(text);
    // The control keeps every line; lines that pile up while nothing pumps messages (a run of
    // missing files, say) would be a second copy of them as large as the log itself.
    if (pending_.size() >= kMostPending || !HandOverLater()) HandOver();
  }
  std::size_t SelStart() const override {
    // Lines still to be handed over put the caret after themselves, at the very end.
    if (!pending_.empty()) {
      return static_cast<std::size_t>(::GetWindowTextLengthW(window_)) + pending_.size();
    }
    DWORD start = 0;
    ::SendMessageW(window_, EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
    return start;
  }

 private:
  static constexpr UINT kShortestInterval = 200;  // ms
  static constexpr UINT kCostShare = 20;          // hand-overs take at most 1/20 of the time
  static constexpr std::size_t kMostPending = 256 * 1024;  // characters waiting at most

  void WhenIdle() override { HandOver(); }

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept {
    auto* self = reinterpret_cast<Win32LogBox*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_CONTEXTMENU && self) {
      self->form_.ContextMenu(self->desc_.id);
      return 0;
    }
    // Once unhooked, the edit control's own procedure is in its class.
    const WNDPROC edit = self ? self->editProcedure_ : nullptr;
    return edit ? ::CallWindowProcW(edit, window, message, wParam, lParam)
                : ::DefWindowProcW(window, message, wParam, lParam);
  }

  // False when no timer is to be had: then the caller hands over at once. The timer's id is
  // the object itself, which is how its procedure finds it.
  bool HandOverLater() {
    if (!waiting_) {
      if (!::SetTimer(window_, reinterpret_cast<UINT_PTR>(this), interval_, &Fired)) return false;
      waiting_ = true;
      form_.Toolkit().AskWhenIdle(*this);
    }
    return true;
  }
  void StopWaiting() {
    if (!waiting_) return;
    ::KillTimer(window_, reinterpret_cast<UINT_PTR>(this));
    form_.Toolkit().Forget(*this);
    waiting_ = false;
  }
  static void CALLBACK Fired(HWND, UINT, UINT_PTR id, DWORD) noexcept {
    auto* self = reinterpret_cast<Win32LogBox*>(id);
    try {
      self->HandOver();
    } catch (...) {
      self->form_.Toolkit().Fail(std::current_exception());
    }
  }

  // The performance counter: the tick count moves in steps of up to 16 ms on Windows.
  static double Milliseconds() {
    LARGE_INTEGER count{}, frequency{};
    ::QueryPerformanceCounter(&count);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1000 / static_cast<double>(frequency.QuadPart);
  }
  // Hands the gathered lines to the control: the caret to the end, the lines in place of the
  // (empty) selection there, the caret after them and the end in view.
  void HandOver() {
    StopWaiting();
    if (pending_.empty()) return;
    const double started = Milliseconds();
    const int end = ::GetWindowTextLengthW(window_);
    ::SendMessageW(window_, EM_SETSEL, end, end);
    ::SendMessageW(window_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(pending_.c_str()));
    const int after = ::GetWindowTextLengthW(window_);
    ::SendMessageW(window_, EM_SETSEL, after, after);
    ::SendMessageW(window_, EM_SCROLLCARET, 0, 0);
    // Its memory goes too, not only its text: kept, it would stay resident beside the control's
    // growing text till the end, the last hand-over's peak included.
    std::wstring().swap(pending_);
    // Painted now rather than in the next pass of the message loop, so that the cost that sets
    // the wait before the next hand-over is the whole cost: under Wine the repaint of the log
    // and its scroll bars outweighs the hand-over itself.
    ::UpdateWindow(window_);
    const double cost = Milliseconds() - started;
    interval_ = static_cast<UINT>(std::clamp(cost * kCostShare, double{kShortestInterval}, 1000.0));
  }

  std::wstring pending_;
  UINT interval_ = kShortestInterval;
  bool waiting_ = false;
  WNDPROC editProcedure_ = nullptr;
};

// ---- Static controls

// A label fits its text: lines break only at CR LF, never inside a line.
class Win32Label final : public Win32Control<platform::Control> {
 public:
  Win32Label(Win32Form& form, HWND window, const ControlDescription& desc)
      : Win32Control(form, window, desc) {}
  void SetCaption(std::string_view caption) override {
    if (Shows(caption)) return;
    SetText(caption);
    Fit();
  }
  void Refit() override { Fit(); }

 private:
  void Fit() {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window_)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(window_, text.data(), static_cast<int>(text.size()))));
    const SIZE size = form_.MeasureText(window_, text);
    platform::Rect bounds = desc_.bounds;
    bounds.width = form_.Twips(size.cx);
    bounds.height = form_.Twips(size.cy);
    Place(bounds);
  }
};

// A borderless strip holding horizontal lines: an etched rule.
class Separator final : public Win32Control<platform::Control> {
 public:
  using Win32Control::Win32Control;
  void Draw(const DRAWITEMSTRUCT& item) override {
    ::FillRect(item.hDC, &item.rcItem, ::GetSysColorBrush(COLOR_BTNFACE));
    for (const platform::SeparatorLine& line : desc_.lines) {
      const int y = item.rcItem.top + form_.Px(line.y);
      RECT rule{item.rcItem.left, y, item.rcItem.right, y + 1};
      UniqueBrush brush(
          ::CreateSolidBrush(RGB(line.colour.red, line.colour.green, line.colour.blue)));
      ::FillRect(item.hDC, &rule, brush.get());
    }
  }
};

// A one-pixel outline in the window-text colour, not filled.
class Shape final : public Win32Control<platform::Control> {
 public:
  using Win32Control::Win32Control;
  void Draw(const DRAWITEMSTRUCT& item) override {
    ::FrameRect(item.hDC, &item.rcItem, ::GetSysColorBrush(COLOR_WINDOWTEXT));
  }
};

class Win32Image final : public Win32Control<platform::Image> {
 public:
  using Win32Control::Win32Control;
  platform::Picture GetPicture() const override { return desc_.picture; }
  void Refit() override {
    ::SendMessageW(window_, STM_SETICON, reinterpret_cast<WPARAM>(form_.Icon(desc_.picture)), 0);
  }
};

struct WindowKind {
  const wchar_t* className;
  DWORD style;
  DWORD exStyle;
};

WindowKind KindOf(ControlType type) {
  switch (type) {
    case ControlType::Button: return {L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0};
    case ControlType::PictureButton: return {L"BUTTON", BS_OWNERDRAW | WS_TABSTOP, 0};
    case ControlType::CheckBox: return {L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 0};
    case ControlType::PictureCheckBox: return {L"BUTTON", BS_OWNERDRAW | WS_TABSTOP, 0};
    case ControlType::ListBox:
      return {L"LISTBOX", LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP,
              WS_EX_CLIENTEDGE};
    case ControlType::LogBox:
      return {L"EDIT",
              ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY | WS_VSCROLL |
                  WS_HSCROLL | WS_TABSTOP,
              WS_EX_CLIENTEDGE};
    case ControlType::Label: return {L"STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_NOTIFY, 0};
    case ControlType::Separator: return {L"STATIC", SS_OWNERDRAW, 0};
    case ControlType::Image: return {L"STATIC", SS_ICON, 0};
    case ControlType::Shape: return {L"STATIC", SS_OWNERDRAW, 0};
  }
  return {L"STATIC", 0, 0};
}

}  // namespace

std::unique_ptr<ControlWindow> CreateControl(Win32Form& form, HINSTANCE instance,
                                             const ControlDescription& desc) {
  const WindowKind kind = KindOf(desc.type);
  const platform::Rect& bounds = desc.bounds;
  HWND window = ::CreateWindowExW(
      kind.exStyle, kind.className, Widen(desc.caption).c_str(),
      WS_CHILD | kind.style | (desc.visible ? WS_VISIBLE : 0), form.Px(bounds.left),
      form.Px(bounds.top), form.Px(bounds.width), form.Px(bounds.height), form.Handle(),
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(desc.id)), instance, nullptr);
  if (!window) return nullptr;
  ::SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(form.FontFor(desc.font)), FALSE);
  std::unique_ptr<ControlWindow> control;
  switch (desc.type) {
    case ControlType::Button: control = std::make_unique<PlainControl>(form, window, desc); break;
    case ControlType::PictureButton:
      control = std::make_unique<PictureButton>(form, window, desc);
      break;
    case ControlType::CheckBox:
      control = std::make_unique<PlainCheckBox>(form, window, desc);
      static_cast<PlainCheckBox&>(*control).SetValue(desc.value);
      break;
    case ControlType::PictureCheckBox:
      control = std::make_unique<PictureToggle>(form, window, desc);
      break;
    case ControlType::ListBox: control = std::make_unique<Win32ListBox>(form, window, desc); break;
    case ControlType::LogBox: control = std::make_unique<Win32LogBox>(form, window, desc); break;
    case ControlType::Label: control = std::make_unique<Win32Label>(form, window, desc); break;
    case ControlType::Separator: control = std::make_unique<Separator>(form, window, desc); break;
    case ControlType::Image: control = std::make_unique<Win32Image>(form, window, desc); break;
    case ControlType::Shape: control = std::make_unique<Shape>(form, window, desc); break;
  }
  control->Refit();
  return control;
}

}  // namespace kalvenor::win32
