// Starting programs and waiting for them on Win32.
#include <windows.h>

#include "platform/win32/handles.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_process.h"
#include "platform/win32/win32_system.h"

namespace kalvenor::win32 {
namespace {

// Flashes the visible top-level windows of process `id` until the user comes to them.
BOOL CALLBACK FlashIfOf(HWND window, LPARAM process) {
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(process) && ::IsWindowVisible(window)) {
    FLASHWINFO flash{sizeof flash, window, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
    ::FlashWindowEx(&flash);
  }
  return TRUE;
}

WORD ShowCommand(platform::ShowWindow show) {
  switch (show) {
    case platform::ShowWindow::Normal: return SW_SHOWNORMAL;
  }
  return SW_SHOWNORMAL;
}

}  // namespace

void Win32Process::FlashWindows() { ::EnumWindows(&FlashIfOf, static_cast<LPARAM>(id_)); }

platform::Wake Win32Process::Wait(std::optional<std::uint32_t> timeoutMs) {
  HANDLE handle = process_.get();
  const DWORD woke = ::MsgWaitForMultipleObjectsEx(1, &handle, timeoutMs.value_or(INFINITE),
                                                   QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (woke == WAIT_TIMEOUT) return platform::Wake::Timeout;
  if (woke == WAIT_OBJECT_0 + 1) return platform::Wake::Events;
  // A failed wait leaves nothing to wait for either, but no exit code: the process may
  // still be running, and its code would read STILL_ACTIVE.
  DWORD code = 0;
  if (woke != WAIT_OBJECT_0) {
    exitCode_ = LastError();
  } else if (::GetExitCodeProcess(handle, &code)) {
    exitCode_ = std::uint32_t{code};
  } else {
    exitCode_ = LastError();
  }
  return platform::Wake::Ended;
}

platform::Result<std::unique_ptr<Win32Process>> StartProcess(const std::wstring& program,
                                                             std::wstring commandLine,
                                                             const std::wstring& folder,
                                                             WORD show) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = show;
  PROCESS_INFORMATION started{};
  // The program is named on its own, so a blank in its path can never make the system start
  // another program; the command line is the writable copy the call needs.
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &started)) {
    return LastError();
  }
  UniqueHandle process(started.hProcess), thread(started.hThread);
  thread.reset();  // nothing waits on the thread
  return std::make_unique<Win32Process>(std::move(process), started.dwProcessId);
}

platform::Result<std::unique_ptr<platform::Process>> Win32System::Start(
    std::string_view program, std::string_view commandLine, std::string_view folder,
    platform::ShowWindow show) {
  auto started = StartProcess(Widen(program), Widen(commandLine), Widen(folder), ShowCommand(show));
  if (!started.ok()) return started.error();
  // The tool may bring its own window (a message box) to the front.
  ::AllowSetForegroundWindow(started.value()->Id());
  return std::unique_ptr<platform::Process>(std::move(started.value()));
}

std::uint32_t Win32System::ProcessId() const { return ::GetCurrentProcessId(); }

}  // namespace kalvenor::win32
