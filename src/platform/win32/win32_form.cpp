#include "platform/win32/win32_form.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "platform/form_unload.h"
#include "platform/win32/shell.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_controls.h"
#include "platform/win32/win32_toolkit.h"
#include "resource_ids.h"

namespace kalvenor::win32 {
namespace {

constexpr wchar_t kDialogClass[] = L"KalvenorWindow";
constexpr wchar_t kTipClass[] = L"KalvenorTip";
constexpr platform::Twips kTwipsPerInch = 1440;
constexpr platform::Twips kSmallIconTwips = 240;  // 16 pixels at 96 DPI
// The toolkit's face where a description names none.
constexpr char kDefaultFace[] = "MS Sans Serif";

// The message in which drag and drop hands over its data between processes.
constexpr UINT kCopyGlobalData = 0x0049;

UINT TaskbarButtonCreated() {
  static const UINT message = ::RegisterWindowMessageW(L"TaskbarButtonCreated");
  return message;
}

// System-menu ids must stay below the system's own (SC_SIZE, 0xF000, and up), and the system
// uses their low four bits: a command of the program's is kept shifted left by four.
constexpr int kSystemCommandShift = 4;
constexpr int kSystemCommandLimit = SC_SIZE >> kSystemCommandShift;

bool IsDialogStyle(const platform::FormDescription& desc) {
  return desc.style == platform::FormStyle::FixedDialog;
}

DWORD StyleOf(const platform::FormDescription& desc) {
  // Fixed single border, caption and the close command; no minimize, maximize or sizing.
  return IsDialogStyle(desc) ? WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN
                             : WS_POPUP | WS_CLIPCHILDREN;
}

DWORD ExStyleOf(const platform::FormDescription& desc) {
  // The tip never takes the activation and has no task-bar button.
  return IsDialogStyle(desc) ? WS_EX_CONTROLPARENT : WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE;
}

int IconResource(platform::Picture picture) {
  switch (picture) {
    case platform::Picture::Setup: return IDI_SETUP;
    case platform::Picture::Install: return IDI_INSTALL;
    case platform::Picture::Exit: return IDI_EXIT;
    case platform::Picture::OverwriteCopy: return IDI_OVERWRITE;
    case platform::Picture::Remove: return IDI_REMOVE;
    case platform::Picture::Manual: return IDI_MANUAL;
    case platform::Picture::Automatic: return IDI_AUTOMATIC;
    case platform::Picture::None: break;
  }
  return 0;
}

void RegisterClasses(HINSTANCE instance, WNDPROC procedure) {
  static bool registered = false;
  if (registered) return;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kDialogClass;
  // Without its classes no window of the program can be made: the start-up says why.
  const auto registerClass = [&] {
    if (!::RegisterClassExW(&windowClass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      throw std::runtime_error(LastError().message);
    }
  };
  registerClass();
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_INFOBK + 1);
  windowClass.lpszClassName = kTipClass;
  registerClass();
  registered = true;
}

}  // namespace

Win32Form::Win32Form(Win32Toolkit& toolkit, const platform::FormDescription& desc,
                     platform::FormEvents& events)
    : toolkit_(toolkit), desc_(desc), events_(events) {
  RegisterClasses(toolkit.Instance(), &Procedure);
  // The window binds itself to this object in WM_NCCREATE, its first message.
  if (!::CreateWindowExW(ExStyleOf(desc), IsDialogStyle(desc) ? kDialogClass : kTipClass,
                         Widen(desc.caption).c_str(), StyleOf(desc), CW_USEDEFAULT, CW_USEDEFAULT,
                         0, 0, nullptr, nullptr, toolkit.Instance(), this)) {
    throw std::runtime_error(LastError().message);
  }
  // The program runs elevated: the shell's messages to it, and drops from a file manager that
  // is not, are let through.
  for (UINT message :
       {TaskbarButtonCreated(), UINT{WM_DROPFILES}, UINT{WM_COPYDATA}, UINT{kCopyGlobalData}}) {
    ::ChangeWindowMessageFilterEx(Handle(), message, MSGFLT_ALLOW, nullptr);
  }
  // The controls are made in place, with their fonts: placing them afterwards costs each a move.
  SetDpi(::GetDpiForWindow(Handle()));
  CreateControls();
  FitWindow();
  toolkit_.Loaded(this);
}

Win32Form::~Win32Form() {
  if (!window_) return;
  toolkit_.Unloaded(this);
  // While every member is still whole: the window's last messages reach this object.
  window_.reset();
}

void Win32Form::CreateControls() {
  // The tab order is the order of the child windows: create them by tab index, the controls
  // without one last.
  std::vector<const platform::ControlDescription*> ordered;
  for (const platform::ControlDescription& control : desc_.controls) ordered.push_back(&control);
  std::stable_sort(ordered.begin(), ordered.end(), [](auto* a, auto* b) {
    const auto key = [](int tab) { return tab == platform::kNoTabStop ? 1 << 30 : tab; };
    return key(a->tabIndex) < key(b->tabIndex);
  });
  for (const platform::ControlDescription* control : ordered) {
    auto made = CreateControl(*this, toolkit_.Instance(), *control);
    if (!made) throw std::runtime_error(LastError().message);
    controls_.emplace(control->id, std::move(made));
  }
}

void Win32Form::ApplyDpi(UINT dpi) {
  SetDpi(dpi);
  FitWindow();
  for (auto& [id, control] : controls_) control->Relayout();
}

void Win32Form::SetDpi(UINT dpi) {
  dpi_ = dpi ? dpi : USER_DEFAULT_SCREEN_DPI;
  fonts_.clear();
  for (const platform::ControlDescription& control : desc_.controls) {
    const FontKey key = KeyOf(control.font);
    if (fonts_.contains(key)) continue;
    LOGFONTW face{};
    face.lfHeight = -std::lround(std::get<1>(key) * dpi_ / 72.0);
    face.lfWeight = std::get<2>(key) ? FW_BOLD : FW_NORMAL;
    face.lfCharSet = DEFAULT_CHARSET;
    face.lfQuality = CLEARTYPE_QUALITY;
    // Prefer the outline face: bitmap faces cannot be drawn bold.
    face.lfOutPrecision = OUT_TT_PRECIS;
    ::lstrcpynW(face.lfFaceName, Widen(std::get<0>(key)).c_str(), LF_FACESIZE);
    fonts_[key].reset(::CreateFontIndirectW(&face));
  }
}

void Win32Form::FitWindow() {
  icons_.clear();
  if (desc_.icon != platform::Picture::None) {
    const int small = Px(kSmallIconTwips);
    smallIcon_.reset(static_cast<HICON>(::LoadImageW(toolkit_.Instance(),
                                                     MAKEINTRESOURCEW(IconResource(desc_.icon)),
                                                     IMAGE_ICON, small, small, LR_DEFAULTCOLOR)));
    ::SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(Icon(desc_.icon)));
    ::SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));
  }

  RECT frame{0, 0, Px(desc_.clientWidth), Px(desc_.clientHeight)};
  ::AdjustWindowRectExForDpi(&frame, StyleOf(desc_), FALSE, ExStyleOf(desc_), dpi_);
  ::SetWindowPos(Handle(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int Win32Form::Px(platform::Twips twips) const {
  return static_cast<int>(std::lround(twips * static_cast<double>(dpi_) / kTwipsPerInch));
}

platform::Twips Win32Form::Twips(int px) const {
  return static_cast<platform::Twips>(px * static_cast<double>(kTwipsPerInch) / dpi_);
}

void Win32Form::Place(HWND control, const platform::Rect& bounds) const {
  ::SetWindowPos(control, nullptr, Px(bounds.left), Px(bounds.top), Px(bounds.width),
                 Px(bounds.height), SWP_NOZORDER | SWP_NOACTIVATE);
}

Win32Form::FontKey Win32Form::KeyOf(const platform::Font& font) {
  return {font.face.empty() ? std::string(kDefaultFace) : font.face, font.points, font.bold};
}

HFONT Win32Form::FontFor(const platform::Font& font) const {
  auto found = fonts_.find(KeyOf(font));
  return found == fonts_.end() ? nullptr : found->second.get();
}

HICON Win32Form::Icon(platform::Picture picture) const {
  if (picture == platform::Picture::None) return nullptr;
  auto [found, added] = icons_.try_emplace(picture);
  if (added) {
    const int size = Px(kIconTwips);
    found->second.reset(static_cast<HICON>(::LoadImageW(toolkit_.Instance(),
                                                        MAKEINTRESOURCEW(IconResource(picture)),
                                                        IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
  }
  return found->second.get();
}

SIZE Win32Form::MeasureText(HWND control, std::wstring_view text) const {
  WindowDC dc(control);
  Selected font(dc.get(), reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)));
  RECT box{0, 0, 0, 0};
  if (text.empty()) {
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc.get(), &metrics);
    return {0, metrics.tmHeight};
  }
  ::DrawTextW(dc.get(), text.data(), static_cast<int>(text.size()), &box,
              DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS);
  return {box.right - box.left, box.bottom - box.top};
}

platform::Control& Win32Form::Item(int id) {
  auto found = controls_.find(id);
  if (found == controls_.end()) throw std::out_of_range("no control with this id");
  return found->second->AsControl();
}

template <class T>
T& Win32Form::As(int id) {
  T* typed = dynamic_cast<T*>(&Item(id));
  if (!typed) throw std::logic_error("control of another type");
  return *typed;
}

std::string Win32Form::Caption() const {
  wchar_t text[512] = {};
  ::GetWindowTextW(Handle(), text, 512);
  return Narrow(text);
}

void Win32Form::SetCaption(std::string_view caption) {
  ::SetWindowTextW(Handle(), Widen(caption).c_str());
}

void Win32Form::Show() {
  if (!window_) return;
  if (desc_.centredOnFirstShow && !shownOnce_) {
    // The start-up position: the centre of the work area of the window's monitor.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromWindow(Handle(), MONITOR_DEFAULTTOPRIMARY), &monitor);
    RECT window{};
    ::GetWindowRect(Handle(), &window);
    const RECT& area = monitor.rcWork;
    const int width = window.right - window.left, height = window.bottom - window.top;
    ::SetWindowPos(Handle(), nullptr, area.left + (area.right - area.left - width) / 2,
                   area.top + (area.bottom - area.top - height) / 2, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  shownOnce_ = true;
  if (topMostWhenShown_) (void)PlaceTopMost(*std::exchange(topMostWhenShown_, std::nullopt));
  if (IsDialogStyle(desc_)) {
    ::ShowWindow(Handle(), SW_SHOW);
    ::UpdateWindow(Handle());  // drawn at once: start-up goes on with work before it idles
  } else {
    // Painted only when events are next processed, by which time the tip has its real size.
    ::ShowWindow(Handle(), SW_SHOWNOACTIVATE);
  }
}

void Win32Form::Hide() {
  if (window_) ::ShowWindow(Handle(), SW_HIDE);
}

bool Win32Form::Visible() const { return window_ && ::IsWindowVisible(Handle()); }

platform::Rect Win32Form::Bounds() const {
  RECT window{};
  ::GetWindowRect(Handle(), &window);
  return {Twips(window.left), Twips(window.top), Twips(window.right - window.left),
          Twips(window.bottom - window.top)};
}

void Win32Form::Move(const platform::Rect& bounds) {
  ::SetWindowPos(Handle(), nullptr, Px(bounds.left), Px(bounds.top), Px(bounds.width),
                 Px(bounds.height), SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Form::SetFocus() {
  if (!window_) return;
  const HWND focus = ::GetFocus();
  if (focus && (focus == Handle() || ::IsChild(Handle(), focus))) return;
  ::SetActiveWindow(Handle());
  ::SetFocus(lastFocus_ && ::IsChild(Handle(), lastFocus_) && ::IsWindowEnabled(lastFocus_)
                 ? lastFocus_
                 : Handle());
}

bool Win32Form::SetTopMost(bool topMost) {
  // A hidden window takes its place when next shown: under Wine the move costs some 2 ms, which
  // the start-up need not pay for the tip, hidden until the first hover.
  if (window_ && !::IsWindowVisible(Handle())) {
    topMostWhenShown_ = topMost;
    return true;
  }
  return PlaceTopMost(topMost);
}

bool Win32Form::PlaceTopMost(bool topMost) {
  return ::SetWindowPos(Handle(), topMost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                        SWP_NOSIZE | SWP_NOMOVE | SWP_NOREDRAW | SWP_NOACTIVATE) != FALSE;
}

void Win32Form::Unload() {
  platform::UnloadForm(
      unloading_, events_, [this] { return Loaded(); },
      [this] {
        toolkit_.Unloaded(this);
        window_.reset();
      });
}

bool Win32Form::PreTranslate(MSG& message) {
  if (!window_) return false;
  const HWND window = Handle();
  if (message.message == WM_MOUSEMOVE && message.hwnd != window) {
    // Mouse moves over a control reach the logic as that control's; the control gets them too.
    events_.OnMouseMove(::GetDlgCtrlID(message.hwnd));
    return false;
  }
  if (!IsDialogStyle(desc_)) return false;
  switch (message.message) {
    case WM_KEYDOWN:
      if (message.wParam == VK_ESCAPE) {
        events_.OnKeyPress(VK_ESCAPE);
        return true;
      }
      if (message.wParam == VK_RETURN &&
          !(::SendMessageW(message.hwnd, WM_GETDLGCODE, 0, 0) & DLGC_WANTALLKEYS)) {
        // Enter presses the focused button; the key itself goes to the window's preview.
        events_.OnKeyPress(VK_RETURN);
        const HWND focus = ::GetFocus();
        if (focus && ::IsChild(window, focus) && ::IsWindowEnabled(focus) &&
            (::SendMessageW(focus, WM_GETDLGCODE, 0, 0) & DLGC_BUTTON)) {
          ::SendMessageW(focus, BM_CLICK, 0, 0);
        }
        return true;
      }
      break;
    case WM_CHAR:
      // Key preview: the window sees every character first; the focused control gets it too,
      // but not the dialog manager, so a plain letter never presses a button by its access key.
      events_.OnKeyPress(static_cast<int>(message.wParam));
      ::DispatchMessageW(&message);
      return true;
    default: break;
  }
  return window_ && ::IsDialogMessageW(window, &message);
}

LRESULT CALLBACK Win32Form::Procedure(HWND window, UINT message, WPARAM wParam,
                                      LPARAM lParam) noexcept {
  if (message == WM_NCCREATE) {
    // From the first message on, the object owns the window and hears of every message.
    auto* self = static_cast<Win32Form*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->window_.reset(window);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  auto* self = reinterpret_cast<Win32Form*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return ::DefWindowProcW(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    // The last message: the window is gone once it returns, and nothing may reach the object.
    ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self->window_.release();
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  try {
    return self->OnMessage(message, wParam, lParam);
  } catch (...) {
    self->toolkit_.Fail(std::current_exception());
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

LRESULT Win32Form::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND window = Handle();
  switch (message) {
    case WM_COMMAND:
      if (lParam) OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_DRAWITEM: Draw(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)); return TRUE;
    case WM_LBUTTONDOWN: surfacePressed_ = true; return 0;
    case WM_LBUTTONUP:
      if (std::exchange(surfacePressed_, false)) events_.OnClick(platform::FormEvents::kSurface);
      return 0;
    case WM_MOUSEMOVE: events_.OnMouseMove(platform::FormEvents::kSurface); return 0;
    case WM_CTLCOLORSTATIC: {
      auto dc = reinterpret_cast<HDC>(wParam);
      if (!IsDialogStyle(desc_)) {
        // The tip's label: window text on the tooltip background.
        ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
        ::SetBkColor(dc, ::GetSysColor(COLOR_INFOBK));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_INFOBK));
      }
      if (::GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) != 0) {
        wchar_t className[16] = {};
        ::GetClassNameW(reinterpret_cast<HWND>(lParam), className, 16);
        if (::lstrcmpiW(className, L"EDIT") == 0) {
          // The read-only log still reads as a document, on the window background colour.
          ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
          return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
        }
      }
      break;
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        lastFocus_ = ::GetFocus();
      } else if (lastFocus_ && ::IsChild(window, lastFocus_) && ::IsWindowEnabled(lastFocus_)) {
        ::SetFocus(lastFocus_);
        return 0;
      }
      break;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      ApplyDpi(HIWORD(wParam));
      ::SetWindowPos(window, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_CLOSE: Unload(); return 0;
    case WM_SYSCOMMAND: {
      const int command = static_cast<int>((wParam & 0xFFF0) >> kSystemCommandShift);
      if (std::find(systemCommands_.begin(), systemCommands_.end(), command) !=
          systemCommands_.end()) {
        events_.OnSystemMenuCommand(command);
        return 0;
      }
      break;
    }
    case WM_DROPFILES: OnDropFiles(reinterpret_cast<HDROP>(wParam)); return 0;
    default:
      if (message == TaskbarButtonCreated()) {
        // The shell made (or, after a restart of Explorer, made anew) the task-bar button.
        if (SUCCEEDED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_ITaskbarList3, taskbar_.put())) &&
            FAILED(taskbar_->HrInit())) {
          taskbar_.reset();
        }
        ShowProgress();
        return 0;
      }
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

void Win32Form::AcceptDrops(bool accept) {
  if (!window_ || accept == acceptsDrops_) return;
  acceptsDrops_ = accept;
  // What DragAcceptFiles does, without loading the shell at start-up: it is needed only once
  // something is dropped.
  const LONG_PTR style = ::GetWindowLongPtrW(Handle(), GWL_EXSTYLE);
  ::SetWindowLongPtrW(Handle(), GWL_EXSTYLE,
                      accept ? style | WS_EX_ACCEPTFILES : style & ~LONG_PTR{WS_EX_ACCEPTFILES});
}

void Win32Form::OnDropFiles(HDROP drop) {
  const auto query = Shell<decltype(::DragQueryFileW)>("DragQueryFileW");
  const auto finish = Shell<decltype(::DragFinish)>("DragFinish");
  if (!query || !finish) return;
  std::vector<std::string> paths;
  const UINT count = query(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count && acceptsDrops_; ++i) {
    std::wstring path(query(drop, i, nullptr, 0) + 1, L'\0');
    path.resize(query(drop, i, path.data(), static_cast<UINT>(path.size())));
    if (!path.empty()) paths.push_back(Narrow(path));
  }
  finish(drop);
  if (!paths.empty()) events_.OnDropFiles(paths);
}

void Win32Form::SetProgress(platform::Progress state, std::size_t done, std::size_t total) {
  progress_ = state;
  progressDone_ = done;
  progressTotal_ = total;
  ShowProgress();
}

void Win32Form::ShowProgress() {
  if (!taskbar_ || !window_) return;
  switch (progress_) {
    case platform::Progress::None: taskbar_->SetProgressState(Handle(), TBPF_NOPROGRESS); return;
    case platform::Progress::Normal: taskbar_->SetProgressState(Handle(), TBPF_NORMAL); break;
    case platform::Progress::Error: taskbar_->SetProgressState(Handle(), TBPF_ERROR); break;
  }
  taskbar_->SetProgressValue(Handle(), progressDone_, progressTotal_);
}

bool Win32Form::IsForeground() const { return window_ && ::GetForegroundWindow() == Handle(); }

void Win32Form::FlashUntilActive() {
  if (!window_) return;
  FLASHWINFO flash{sizeof flash, Handle(), FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
  ::FlashWindowEx(&flash);
}

void Win32Form::AddSystemMenuCommand(int command, std::string_view caption) {
  if (command <= 0 || command >= kSystemCommandLimit) {
    throw std::out_of_range("a system menu command must lie between 1 and 0xEFF");
  }
  if (!window_) return;
  const HMENU menu = ::GetSystemMenu(Handle(), FALSE);
  if (!menu) return;
  if (!systemSeparator_) systemSeparator_ = ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr) != FALSE;
  if (::AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(command) << kSystemCommandShift,
                    Widen(caption).c_str())) {
    systemCommands_.push_back(command);
  }
}

void Win32Form::ContextMenu(int id) noexcept {
  try {
    events_.OnContextMenu(id);
  } catch (...) {
    toolkit_.Fail(std::current_exception());
  }
}

void Win32Form::OnCommand(int id, int code) {
  auto found = controls_.find(id);
  if (found == controls_.end()) return;
  if (code == BN_CLICKED || code == STN_CLICKED) {
    found->second->Clicked();
    events_.OnClick(id);
  }
}

void Win32Form::Draw(const DRAWITEMSTRUCT& item) {
  auto found = controls_.find(static_cast<int>(item.CtlID));
  if (found != controls_.end()) found->second->Draw(item);
}

}  // namespace kalvenor::win32
