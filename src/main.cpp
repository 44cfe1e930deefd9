// Kalvenor: installs component libraries into the Windows system directory and registers
// them, or takes them out again.
#include <windows.h>
// After windows.h, which it depends on.
#include <objbase.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/unattended.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_toolkit.h"
#include "setup/frm_setup.h"
#include "setup/unattended_window.h"

namespace {

void ShowError(const std::string& text) {
  ::MessageBoxW(nullptr, kalvenor::win32::Widen(text).c_str(), L"Kalvenor", MB_OK | MB_ICONERROR);
}

// A failure outside the runs' steps: in a message box for the window; for an unattended run, as
// its command line asks (never a box with /quiet), with the exit code deployment tools read.
int Stop(const std::vector<std::string>& args, const std::string& why) {
  if (args.empty()) {
    ShowError(why);
    return 1;
  }
  kalvenor::win32::Win32System system;
  return kalvenor::cli::StopUnattended(system, args, why, ShowError);
}

}  // namespace

// What std::terminate calls unless told otherwise. The library's own prints the exception's
// demangled type to stderr, which this program never has, and so carries the whole demangler
// (some 46 KiB) into the file; then it aborts, as this one does at once.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Read first, so that even a failure of the start-up keeps to /quiet and reaches /log:.
  const std::vector<std::string> args =
      kalvenor::cli::SplitArguments(kalvenor::win32::Narrow(::GetCommandLineW()));
  // The program sits in a folder full of DLLs by design: none of them may ever load into it.
  // Everything it links statically is a known system DLL, mapped before this line runs. It
  // does not run without that protection.
  if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return Stop(args, "Kalvenor cannot keep the DLLs in its folder from loading into it (" +
                          kalvenor::win32::LastError().message + "), so it does not start.");
  }
  // Wine resolves the delayed imports of its own libraries by the plain search order, which
  // starts in this folder: the themed controls' msimg32.dll would come from here. Loaded from
  // the system directory now, it is found loaded then. Kept for the life of the process.
  ::LoadLibraryExW(L"msimg32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // The task-bar button and the shell's folders are COM objects of this thread. A quiet run shows
  // neither, and without COM it never connects to the display, which costs Wine some 40 ms.
  struct ComScope {
    bool initialised;
    ~ComScope() {
      if (initialised) ::CoUninitialize();
    }
  } comScope{
      !kalvenor::cli::QuietAsked(args) &&
      SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))};
  try {
    kalvenor::win32::Win32System system;
    kalvenor::win32::Win32Toolkit toolkit(instance);
    kalvenor::platform::Services services{toolkit, system};
    kalvenor::engine::Engine engine(services);
    // With arguments, a deployment tool's unattended run; without, the window as always.
    if (!args.empty()) {
      kalvenor::UnattendedWindow window(services, [&] { toolkit.Run(); });
      return kalvenor::cli::RunCommandLine(services, engine, args, window);
    }
    kalvenor::Selection selection;
    kalvenor::frmSetup setup(services, engine, selection);
    return toolkit.Run();
  } catch (const std::exception& failure) {
    return Stop(args, failure.what());
  } catch (...) {
    return Stop(args, "The program stopped on an unexpected error.");
  }
}
