#include "platform/win32/win32_toolkit.h"

#include <commdlg.h>

#include <algorithm>

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
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
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
      return;
    }
    Dispatch(message);
  }
}

void Win32Toolkit::WaitForEvents(std::uint32_t milliseconds) {
  ::MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void Win32Toolkit::MsgBox(platform::Form& owner, std::string_view text, std::string_view title,
                          platform::MsgBoxStyle) {
  ::MessageBoxW(static_cast<Win32Form&>(owner).Handle(), Widen(text).c_str(), Widen(title).c_str(),
                MB_OK | MB_ICONERROR);
}

std::optional<std::string> Win32Toolkit::FileOpenDialog(platform::Form& owner,
                                                        const platform::FileOpenRequest& request) {
  // Loaded on demand and only from the system directory, like every DLL of this program.
  if (!dialogs_) {
    dialogs_.reset(::LoadLibraryExW(L"comdlg32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  }
  // Through void*: FARPROC has no parameters, which the compiler flags as a mismatch.
  auto getOpenFileName =
      dialogs_ ? reinterpret_cast<decltype(&::GetOpenFileNameW)>(
                     reinterpret_cast<void*>(::GetProcAddress(dialogs_.get(), "GetOpenFileNameW")))
               : nullptr;
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
  if (!getOpenFileName(&record)) return std::nullopt;
  return Narrow(file);
}

}  // namespace kalvenor::win32
