// Kalvenor: installs component libraries into the Windows system directory and registers
// them, or takes them out again.
#include <windows.h>
// After windows.h, which it depends on.
#include <objbase.h>
#include <shellapi.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/unattended.h"
#include "platform/win32/shell.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_toolkit.h"
#include "setup/frm_setup.h"

namespace {

// The arguments after the program's name, split by the system's rules for quotes. Runs after
// the DLL search is locked to the system directory: shell32.dll is no import of the program.
std::vector<std::string> Arguments() {
  const auto split = kalvenor::win32::Shell<decltype(::CommandLineToArgvW)>("CommandLineToArgvW");
  if (!split) throw std::runtime_error("Kalvenor cannot read its command line.");
  int count = 0;
  LPWSTR* words = split(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; words && i < count; ++i) args.push_back(kalvenor::win32::Narrow(words[i]));
  ::LocalFree(words);
  return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // The program sits in a folder full of DLLs by design: none of them may ever load into it.
  // Everything it links statically is a known system DLL, mapped before this line runs. It
  // does not run without that protection.
  if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    const std::wstring why = kalvenor::win32::Widen(kalvenor::win32::LastError().message);
    ::MessageBoxW(nullptr,
                  (L"Kalvenor cannot keep the DLLs in its folder from loading into it (" + why +
                   L"), so it does not start.")
                      .c_str(),
                  L"Kalvenor", MB_OK | MB_ICONERROR);
    return 1;
  }
  // Wine resolves the delayed imports of its own libraries by the plain search order, which
  // starts in this folder: the themed controls' msimg32.dll would come from here. Loaded from
  // the system directory now, it is found loaded then. Kept for the life of the process.
  ::LoadLibraryExW(L"msimg32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // The task-bar button and the shell's folders are COM objects of this thread.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  struct ComScope {
    bool initialised;
    ~ComScope() {
      if (initialised) ::CoUninitialize();
    }
  } comScope{SUCCEEDED(com)};
  try {
    kalvenor::win32::Win32System system;
    kalvenor::win32::Win32Toolkit toolkit(instance);
    kalvenor::platform::Services services{toolkit, system};
    // With arguments, a deployment tool's unattended run; without, the window as always.
    if (const std::vector<std::string> args = Arguments(); !args.empty()) {
      return kalvenor::cli::RunCommandLine(services, args, [&] { toolkit.Run(); });
    }
    kalvenor::frmSetup setup(services);
    return toolkit.Run();
  } catch (const std::exception& failure) {
    ::MessageBoxW(nullptr, kalvenor::win32::Widen(failure.what()).c_str(), L"Kalvenor",
                  MB_OK | MB_ICONERROR);
    return 1;
  } catch (...) {
    ::MessageBoxW(nullptr, L"The program stopped on an unexpected error.", L"Kalvenor",
                  MB_OK | MB_ICONERROR);
    return 1;
  }
}
