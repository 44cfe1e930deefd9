#include "platform/win32/win32_toolkit.h"

#include <commdlg.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/win32/text.h"
#include "platform/win32/win32_form.h"

namespace kalvenor::win32 {

int Win32Toolkit::Run() {
  MSG message;
  while (!forms_.empty()) {
    // Idle: a run's last log lines need not wait for their timer.
    while (!idle_.empty() && !::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
      IdleWork* work = idle_.back();
      idle_.pop_back();
      work->WhenIdle();
    }
    const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    Dispatch(message);
    RethrowFailure();
  }
  return 0;
}

void Win32Toolkit::Dispatch(MSG& message) {
  const HWND root = message.hwnd ? ::GetAncestor(message.hwnd, GA_ROOT) : nullptr;
  for (Win32Form* form : forms_) {
    if (root && form->Handle() == root) {
      if (form->PreTranslate(message)) return;
      break;
    }
  }
  ::TranslateMessage(&message);
  ::DispatchMessageW(&message);
}

std::unique_ptr<platform::Form> Win32Toolkit::CreateForm(const platform::FormDescription& desc,
                                                         platform::FormEvents& events) {
  return std::make_unique<Win32Form>(*this, desc, events);
}

std::vector<platform::Form*> Win32Toolkit::Forms() { return {forms_.begin(), forms_.end()}; }

void Win32Toolkit::Unloaded(Win32Form* form) {
  std::erase(forms_, form);
  if (forms_.empty()) ::PostQuitMessage(0);
}

void Win32Toolkit::Fail(std::exception_ptr failure) {
  if (!failure_) failure_ = failure;
}

void Win32Toolkit::RethrowFailure() {
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void Win32Toolkit::AskWhenIdle(IdleWork& work) {
  if (std::find(idle_.begin(), idle_.end(), &work) == idle_.end()) idle_.push_back(&work);
}

void Win32Toolkit::Forget(IdleWork& work) { std::erase(idle_, &work); }

void Win32Toolkit::DoEvents() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Leave it for the main loop, which ends the program.
      ::PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    Dispatch(message);
  }
  RethrowFailure();
}

void Win32Toolkit::WaitForEvents(std::uint32_t milliseconds) {
  // The wait dispatches nothing itself, not even sent messages; but a message sent while a call
  // of the program's own was under way may have left a failure, which goes before any sleep.
  RethrowFailure();
  ::MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void Win32Toolkit::MsgBox(platform::Form& owner, std::string_view text, std::string_view title,
                          platform::MsgBoxStyle) {
  ::MessageBoxW(static_cast<Win32Form&>(owner).Handle(), Widen(text).c_str(), Widen(title).c_str(),
                MB_OK | MB_ICONERROR);
  RethrowFailure();
}

void Win32Toolkit::OwnerlessMsgBox(std::string_view text, std::string_view title,
                                   platform::MsgBoxStyle) {
  ::MessageBoxW(nullptr, Widen(text).c_str(), Widen(title).c_str(), MB_OK | MB_ICONERROR);
}

void* Win32Toolkit::DialogFunction(const char* name) {
  // Loaded on demand and only from the system directory, like every DLL of this program.
  if (!dialogs_) {
    dialogs_.reset(::LoadLibraryExW(L"comdlg32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  }
  // Through void*: FARPROC has no parameters, which the compiler flags as a mismatch.
  return dialogs_ ? reinterpret_cast<void*>(::GetProcAddress(dialogs_.get(), name)) : nullptr;
}

std::optional<std::string> Win32Toolkit::FileSaveDialog(platform::Form& owner,
                                                        const platform::FileSaveRequest& request) {
  auto getSaveFileName =
      reinterpret_cast<decltype(&::GetSaveFileNameW)>(DialogFunction("GetSaveFileNameW"));
  if (!getSaveFileName) return std::nullopt;
  const std::wstring filter =
      Widen(request.filterName) + L'\0' + Widen(request.filterPattern) + L'\0';
  std::wstring file = Widen(request.fileName);
  file.resize(32768, L'\0');  // the longest path Windows handles
  const std::wstring initialDir = Widen(request.initialDir);
  const std::wstring title = Widen(request.title);
  const std::wstring extension = Widen(request.defaultExtension);

  OPENFILENAMEW record{};
  record.lStructSize = sizeof record;
  record.hwndOwner = static_cast<Win32Form&>(owner).Handle();
  record.lpstrFilter = filter.c_str();
  record.lpstrFile = file.data();
  record.nMaxFile = static_cast<DWORD>(file.size());
  record.lpstrInitialDir = initialDir.empty() ? nullptr : initialDir.c_str();
  record.lpstrTitle = title.c_str();
  record.lpstrDefExt = extension.c_str();
  record.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
  const BOOL chosen = getSaveFileName(&record);
  RethrowFailure();
  if (!chosen) return std::nullopt;
  file.resize(std::wcslen(file.c_str()));
  return Narrow(file);
}

std::optional<std::size_t> Win32Toolkit::PopupMenu(platform::Form& owner,
                                                   const std::vector<std::string>& items) {
  struct MenuOwner {
    HMENU menu = ::CreatePopupMenu();
    ~MenuOwner() {
      if (menu) ::DestroyMenu(menu);
    }
  } popup;
  if (!popup.menu) return std::nullopt;
  for (std::size_t i = 0; i < items.size(); ++i) {
    ::AppendMenuW(popup.menu, MF_STRING, i + 1, Widen(items[i]).c_str());
  }
  POINT at{};
  ::GetCursorPos(&at);
  const HWND window = static_cast<Win32Form&>(owner).Handle();
  const int chosen = static_cast<int>(::TrackPopupMenu(
      popup.menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr));
  RethrowFailure();
  if (chosen <= 0) return std::nullopt;
  return static_cast<std::size_t>(chosen - 1);
}

platform::Status Win32Toolkit::SetClipboardText(platform::Form& owner, std::string_view text) {
  const std::wstring wide = Widen(text);
  if (!::OpenClipboard(static_cast<Win32Form&>(owner).Handle())) return LastError();
  struct Opened {
    ~Opened() { ::CloseClipboard(); }
  } opened;
  if (!::EmptyClipboard()) return LastError();
  const std::size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (!memory) return LastError();
  if (void* locked = ::GlobalLock(memory)) {
    std::memcpy(locked, wide.c_str(), bytes);
    ::GlobalUnlock(memory);
  }
  // The clipboard owns the memory once it took it; until then it is ours to free.
  if (!::SetClipboardData(CF_UNICODETEXT, memory)) {
    const platform::SystemError failure = LastError();
    ::GlobalFree(memory);
    return failure;
  }
  return platform::Done{};
}

std::optional<std::string> Win32Toolkit::FileOpenDialog(platform::Form& owner,
                                                        const platform::FileOpenRequest& request) {
  auto getOpenFileName =
      reinterpret_cast<decltype(&::GetOpenFileNameW)>(DialogFunction("GetOpenFileNameW"));
  if (!getOpenFileName) return std::nullopt;

  // One filter entry: its display text and its pattern, the list ended by an empty entry.
  const std::wstring filter =
      Widen(request.filterName) + L'\0' + Widen(request.filterPattern) + L'\0';
  std::wstring file = Widen(request.fileBuffer) + L'\0';
  std::wstring fileTitle = file;
  const std::wstring initialDir = Widen(request.initialDir);
  const std::wstring title = Widen(request.title);

  OPENFILENAMEW record{};
  record.lStructSize = sizeof record;
  record.hwndOwner = static_cast<Win32Form&>(owner).Handle();
  record.hInstance = instance_;
  record.lpstrFilter = filter.c_str();
  record.lpstrFile = file.data();
  record.nMaxFile = static_cast<DWORD>(file.size());
  record.lpstrFileTitle = fileTitle.data();
  record.nMaxFileTitle = static_cast<DWORD>(fileTitle.size());
  record.lpstrInitialDir = initialDir.c_str();
  record.lpstrTitle = title.c_str();
  record.Flags = 0;
  const BOOL chosen = getOpenFileName(&record);
  RethrowFailure();
  if (!chosen) return std::nullopt;
  return Narrow(file);
}

}  // namespace kalvenor::win32
