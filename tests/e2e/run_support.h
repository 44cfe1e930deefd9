#pragma once
// What the tests of the runs share: a Windows directory of their own for the program to install
// into, the registry entries the sample components write, and the log lines a run should show.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"

namespace kalvenor::e2e {

// ---- A private Windows directory

// A Windows directory whose system folder holds a copy of this process's registration tool (the
// one of the program's bitness). Started with ForProgram(), the program installs there and runs
// that copy, so nothing lands in the prefix's own system directory. Its path has no blank: the
// program does not quote the tool's own path on its command line.
class PrivateWindows {
 public:
  PrivateWindows();
  // In the folder `base` (another drive's root, say) instead of the temp directory.
  explicit PrivateWindows(std::wstring base);
  ~PrivateWindows();
  PrivateWindows(const PrivateWindows&) = delete;
  PrivateWindows& operator=(const PrivateWindows&) = delete;

  // The system directory as the program names it: lower case.
  std::wstring System() const;
  std::wstring Tool() const { return System() + L"\\regsvr32.exe"; }
  // Where the program puts a file of this name.
  std::wstring Target(std::wstring_view name) const {
    return System() + L"\\" + std::wstring(name);
  }
  Launch ForProgram() const { return {.environment = {{L"WINDIR", windows_}}}; }
  const std::wstring& WindowsDir() const { return windows_; }

  // Puts a file of this name into the system folder; returns its Target().
  std::wstring Put(std::wstring_view name, std::string_view bytes) const;
  std::wstring PutCopy(const std::wstring& source, std::wstring_view name) const;
  // The names in the system folder, lower case and sorted.
  std::vector<std::wstring> SystemFiles() const;
  // The other bitness's system folder, as the program looks for it (Sysnative beside the x86
  // build, SysWOW64 beside the x64 one), with that bitness's own regsvr32.exe; nothing where
  // this machine has no such tool.
  std::optional<std::wstring> AddOtherSystem() const;

 private:
  TempFolder root_;
  std::wstring windows_;
};

// This process's system directory.
std::wstring OwnSystemDirectory();

// Whether Windows is Wine, which enforces no rights of files or keys, nor integrity levels.
bool UnderWine();

// The exit code of a program run to its end, or nothing when it does not start.
std::optional<std::uint32_t> ExitCodeOf(const std::wstring& exe, const std::wstring& commandLine);

// ---- Unattended runs

struct Ended {
  DWORD exitCode = 0;
  std::string output;  // what it wrote to its standard output
  std::string errors;  // and to its standard error
};

// Runs the program `exe` with `arguments` from the folder `currentDir` into the Windows
// directory `windows`, its output caught in a pipe; `whileRunning` is called with its process id
// as it runs.
Ended RunUnattended(const std::wstring& exe, const std::wstring& arguments,
                    const PrivateWindows& windows, const std::wstring& currentDir,
                    const std::function<void(DWORD)>& whileRunning = nullptr);

// A path as one word of a command line.
inline std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// ---- Files

bool FileExists(const std::wstring& path);
std::string FileContent(const std::wstring& path);  // throws when it cannot be read
bool SameContent(const std::wstring& a, const std::wstring& b);
// The system's words for an error code, as FormatMessage gives them, without the line end.
std::wstring SystemMessage(DWORD code);

// ---- Registry

// Where installers count the programs that share a file, under HKLM.
inline constexpr wchar_t kSharedDlls[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// Where Wine 8's registry views differ from 64-bit Windows', whose rule the program follows
// (checked with Wine's reg.exe /reg:32 and /reg:64): Wine keeps the ProgIDs and AppID keys of a
// 32-bit program apart from a 64-bit one's, where Windows shares them, and a user's CLSID keys in
// one view for both, where Windows keeps them apart. TypeLib is shared and CLSID and Interface
// kept apart, as on Windows. A test that reads such a key in both views compares each view with
// itself, before and after, which holds under either rule.
//
// The registry view of the program under test, which has this process's bitness.
REGSAM OwnView();
REGSAM OtherView();

// The default value of HKCR\CLSID\{clsid}\InprocServer32 in `view`; none without the key.
std::optional<std::wstring> InprocServer(std::wstring_view clsid, REGSAM view = OwnView());
// Every key and value below HKCR\`path` in `view`, one per line in the registry's order; empty
// without the key.
std::wstring ClassesTreeText(const std::wstring& path, REGSAM view);
// Removes HKCR\CLSID\{clsid} from `view`, if there.
void DeleteClsid(std::wstring_view clsid, REGSAM view = OwnView());

// ---- Runs

inline constexpr wchar_t kDone[] = L"Done. Click on the form or hit any key.";
// Long enough for a crashing tool and the debugger Wine starts for it.
inline constexpr std::chrono::milliseconds kRunTimeout = 60s;

// Clicks `command` and waits for the done prompt; returns the whole log.
std::wstring RunToEnd(const App& app, SetupId command,
                      std::chrono::milliseconds timeout = kRunTimeout);
std::wstring AwaitDone(const App& app, std::chrono::milliseconds timeout = kRunTimeout);

// Opens the log's menu as the menu key would, and picks its `item`-th entry by keyboard;
// false when no menu came up.
bool PickFromLogMenu(const App& app, int item);

// A left click on the window itself, at a point no control covers.
void ClickSurface(const App& app);
// The list is shown in place of the log, and the commands are back.
bool ListBack(const App& app);

// The log lines of each step, each ended by CR LF.
std::wstring Line(std::wstring_view text);
std::wstring CopyLines(std::wstring_view source, std::wstring_view target);
std::wstring RegisterLines(std::wstring_view tool, std::wstring_view target, bool silent = true);
std::wstring UnregisterLines(std::wstring_view tool, std::wstring_view target, bool silent = true);
std::wstring DeleteLines(std::wstring_view target);
std::wstring FailedLine(std::wstring_view why);
// What the program found in the file that the failed step before was given.
std::wstring CauseLine(std::wstring_view cause);
std::wstring DoneLines();

// ---- The window and the manual selection

// The window answers a message within a second: it is neither hung nor gone.
bool Answers(const Window& window);

inline constexpr wchar_t kAddFileDialogTitle[] = L"Select DLL or OCX to be installed";

// Clicks the mode toggle into manual mode and waits until the switch is over.
void SwitchToManualMode(const App& app);
// Add File..., then `typed` chosen in the file dialog, or Cancel when there is none. True once
// the dialog has gone and the program has taken the choice; false when the dialog stays up
// (it is left open).
bool AddFile(const App& app, std::optional<std::wstring_view> typed);
// Cancels the file dialog that is up; true once it has gone.
bool CancelFileDialog(const App& app);

// The eight commands a run disables.
inline constexpr SetupId kCommands[] = {
    SetupId::cmdInstall, SetupId::cmdRemove, SetupId::cmdBlindCopy,  SetupId::cmdListClear,
    SetupId::cmdListAdd, SetupId::cmdQuit,   SetupId::chkAutoManual, SetupId::chkSilent,
};

}  // namespace kalvenor::e2e
