#include "run_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "platform/win32/win32_system.h"

namespace kalvenor::e2e {
namespace {

std::wstring SystemRegistrationTool() { return OwnSystemDirectory() + L"\\regsvr32.exe"; }

// The log shows the done prompt.
bool LogDone(const App& app) {
  const Window log = app.Control(SetupId::txtOperations);
  return log.Visible() && log.Text().ends_with(Line(kDone));
}

}  // namespace

namespace {

// Deletes the values of HKLM\`key` in `view` whose names begin with `prefix` (lower case).
void ForgetValuesUnder(const wchar_t* key, REGSAM view, const std::wstring& prefix) {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | view,
                      &opened) != ERROR_SUCCESS) {
    return;
  }
  std::vector<std::wstring> names;
  wchar_t name[32768];
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(std::size(name));
    if (::RegEnumValueW(opened, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (LowerCase(name).starts_with(prefix)) names.emplace_back(name, length);
  }
  for (const std::wstring& found : names) ::RegDeleteValueW(opened, found.c_str());
  ::RegCloseKey(opened);
}

}  // namespace

// ---- A private Windows directory

PrivateWindows::PrivateWindows() : PrivateWindows(std::wstring()) {}

// The counts and marks of the files the program put here go with the folder: a later folder of
// the same temporary name must not find them.
PrivateWindows::~PrivateWindows() {
  for (const wchar_t* key :
       {kSharedDlls, L"SOFTWARE\\Kalvenor\\Shares", L"SOFTWARE\\Kalvenor\\Installed"}) {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      ForgetValuesUnder(key, view, LowerCase(windows_));
    }
  }
}

PrivateWindows::PrivateWindows(std::wstring base)
    : root_(base.empty() ? TempFolder(L"KalvenorWindows-")
                         : TempFolder(L"KalvenorWindows-", std::move(base))),
      windows_(root_.MakeFolder(L"Windows")) {
  root_.MakeFolder(L"Windows\\system");
  root_.Copy(SystemRegistrationTool(), L"Windows\\system\\regsvr32.exe");
}

std::wstring PrivateWindows::System() const { return LowerCase(windows_ + L"\\system"); }

std::wstring PrivateWindows::Put(std::wstring_view name, std::string_view bytes) const {
  root_.Write(L"Windows\\system\\" + std::wstring(name), bytes);
  return Target(name);
}

std::wstring PrivateWindows::PutCopy(const std::wstring& source, std::wstring_view name) const {
  root_.Copy(source, L"Windows\\system\\" + std::wstring(name));
  return Target(name);
}

std::optional<std::wstring> PrivateWindows::AddOtherSystem() const {
  wchar_t folder[MAX_PATH];
  const bool x64 = sizeof(void*) == 8;
  const UINT length = x64 ? ::GetSystemWow64DirectoryW(folder, MAX_PATH)
                          : ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  // A 32-bit process reaches the 64-bit tool through the Sysnative alias.
  const std::wstring tool = std::wstring(folder) + (x64 ? L"" : L"\\sysnative") + L"\\regsvr32.exe";
  if (::GetFileAttributesW(tool.c_str()) == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  const std::wstring name = x64 ? L"SysWOW64" : L"Sysnative";
  root_.MakeFolder(L"Windows\\" + name);
  root_.Copy(tool, L"Windows\\" + name + L"\\regsvr32.exe");
  return LowerCase(windows_ + L"\\" + name);
}

std::vector<std::wstring> PrivateWindows::SystemFiles() const {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileExW((System() + L"\\*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      names.push_back(LowerCase(found.cFileName));
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring OwnSystemDirectory() {
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  return system;
}

bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::optional<std::uint32_t> ExitCodeOf(const std::wstring& exe, const std::wstring& commandLine) {
  win32::Win32System system;
  auto started =
      system.Start(Narrow(exe), Narrow(commandLine), system.CurDir(), platform::ShowWindow::Normal);
  if (!started.ok()) return std::nullopt;
  while (started.value()->WaitForExitOrEvents() != platform::Wake::Ended) {
  }
  auto exitCode = started.value()->ExitCode();
  return exitCode.ok() ? std::optional(exitCode.value()) : std::nullopt;
}

// ---- Unattended runs

Ended RunUnattended(const std::wstring& exe, const std::wstring& arguments,
                    const PrivateWindows& windows, const std::wstring& currentDir,
                    const std::function<void(DWORD)>& whileRunning) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  EXPECT_TRUE(::CreatePipe(&read, &write, &inherit, 0));
  const UniqueHandle reader(read);
  UniqueHandle writer(write);
  ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  // Standard error into a file of its own, read once the program has ended.
  wchar_t temp[MAX_PATH], errorsFile[MAX_PATH];
  EXPECT_NE(::GetTempPathW(MAX_PATH, temp), 0u);
  EXPECT_NE(::GetTempFileNameW(temp, L"err", 0, errorsFile), 0u);
  UniqueHandle errors(::CreateFileW(errorsFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    &inherit, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write;
  startup.hStdError = errors.get();
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  const std::wstring ownWindows = EnvironmentVariable(L"WINDIR");
  ::SetEnvironmentVariableW(L"WINDIR", windows.WindowsDir().c_str());
  PROCESS_INFORMATION started{};
  const BOOL ok = ::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                   nullptr, currentDir.c_str(), &startup, &started);
  ::SetEnvironmentVariableW(L"WINDIR", ownWindows.c_str());
  EXPECT_TRUE(ok);
  if (!ok) return {};
  const UniqueHandle process(started.hProcess), thread(started.hThread);
  writer.reset();
  if (whileRunning) whileRunning(started.dwProcessId);
  Ended ended;
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(read, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    ended.output.append(chunk, got);
  }
  EXPECT_EQ(::WaitForSingleObject(process.get(), 120000), WAIT_OBJECT_0);
  ::GetExitCodeProcess(process.get(), &ended.exitCode);
  ended.errors = FileContent(errorsFile);
  return ended;
}

// ---- Files

bool FileExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string FileContent(const std::wstring& path) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("cannot open " + Narrow(path) + " (error " +
                             std::to_string(::GetLastError()) + ")");
  }
  std::string content;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    content.append(buffer, read);
  }
  return content;
}

bool SameContent(const std::wstring& a, const std::wstring& b) {
  return FileContent(a) == FileContent(b);
}

std::wstring SystemMessage(DWORD code) { return Widen(win32::ErrorOf(code).message); }

// ---- Registry

REGSAM OwnView() { return sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

REGSAM OtherView() { return sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

std::optional<std::wstring> InprocServer(std::wstring_view clsid, REGSAM view) {
  const std::wstring path = L"CLSID\\" + std::wstring(clsid) + L"\\InprocServer32";
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::wstring value(32768, L'\0');
  DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  const LSTATUS status =
      ::RegGetValueW(key, nullptr, nullptr, RRF_RT_REG_SZ, nullptr, value.data(), &bytes);
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::wstring();
  value.resize(bytes / sizeof(wchar_t));
  if (!value.empty() && value.back() == L'\0') value.pop_back();
  return value;
}

std::wstring ClassesTreeText(const std::wstring& path, REGSAM view) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return {};
  }
  std::wstring text = L"[" + path + L"]\n";
  wchar_t name[16384];
  BYTE data[65536];
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = 16384, type = 0, bytes = sizeof(data);
    if (::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &bytes) != ERROR_SUCCESS)
      break;
    text += std::wstring(name, nameLength) + L"=" + std::to_wstring(type) + L":" +
            std::wstring(reinterpret_cast<const wchar_t*>(data), bytes / sizeof(wchar_t)) + L"\n";
  }
  std::vector<std::wstring> subkeys;
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = 16384;
    if (::RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    subkeys.emplace_back(name, nameLength);
  }
  ::RegCloseKey(key);
  for (const std::wstring& subkey : subkeys) text += ClassesTreeText(path + L"\\" + subkey, view);
  return text;
}

void DeleteClsid(std::wstring_view clsid, REGSAM view) {
  HKEY classes = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_ALL_ACCESS | view, &classes) !=
      ERROR_SUCCESS) {
    return;
  }
  ::RegDeleteTreeW(classes, std::wstring(clsid).c_str());
  ::RegCloseKey(classes);
}

// ---- The window and the manual selection

bool Answers(const Window& window) {
  DWORD_PTR ignored = 0;
  return ::SendMessageTimeoutW(window.Handle(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored) !=
         0;
}

void SwitchToManualMode(const App& app) {
  const Window toggle = app.Control(SetupId::chkAutoManual);
  toggle.Click();
  if (!WaitUntil([&] { return toggle.Text() == L"M&anual mode on"; }) || !Answers(app.Main())) {
    throw std::runtime_error("the program did not switch to manual mode");
  }
}

bool AddFile(const App& app, std::optional<std::wstring_view> typed) {
  app.Control(SetupId::cmdListAdd).Click();
  const Window dialog = app.WaitForWindowTitled(kAddFileDialogTitle);
  if (!typed) return CancelFileDialog(app);
  ChooseInFileDialog(dialog, *typed);
  // A dialog that takes the name is gone at once; one that keeps it has had its say by then.
  if (!WaitUntil([&] { return !app.FindWindowTitled(kAddFileDialogTitle); }, 1s)) return false;
  return !app.Running() || Answers(app.Main());
}

bool CancelFileDialog(const App& app) {
  if (const std::optional<Window> dialog = app.FindWindowTitled(kAddFileDialogTitle)) {
    ::PostMessageW(dialog->Handle(), WM_COMMAND, IDCANCEL, 0);
  }
  return WaitUntil([&] { return !app.FindWindowTitled(kAddFileDialogTitle); }) &&
         Answers(app.Main());
}

// ---- Runs

std::wstring AwaitDone(const App& app, std::chrono::milliseconds timeout) {
  WaitUntil([&] { return LogDone(app) || !app.Running(); }, timeout);
  return app.Running() ? app.Log() : L"(the program ended)";
}

std::wstring RunToEnd(const App& app, SetupId command, std::chrono::milliseconds timeout) {
  app.Control(command).Click();
  return AwaitDone(app, timeout);
}

bool PickFromLogMenu(const App& app, int item) {
  const HWND log = app.Control(SetupId::txtOperations).Handle();
  ::PostMessageW(log, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(log), -1);
  if (!WaitUntil([&] { return app.FindWindowOfClass(L"#32768").has_value(); })) return false;
  for (int i = 0; i < item; ++i) app.PressKey(VK_DOWN);
  app.PressKey(VK_RETURN);
  return true;
}

void ClickSurface(const App& app) {
  const Window main = app.Main();
  const SIZE size = main.ClientSize();
  for (int y = size.cy / 2; y < size.cy - 2; y += 4) {
    for (int x = 2; x < size.cx - 2; x += 4) {
      const POINT point{x, y};
      if (::ChildWindowFromPointEx(main.Handle(), point, CWP_SKIPINVISIBLE) != main.Handle()) {
        continue;
      }
      ::PostMessageW(main.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
      ::PostMessageW(main.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(x, y));
      return;
    }
  }
  throw std::runtime_error("no bare point on the window");
}

bool ListBack(const App& app) {
  // Exit is enabled again last, once the list is filled.
  return app.Control(SetupId::fileList).Visible() &&
         !app.Control(SetupId::txtOperations).Visible() && app.Control(SetupId::cmdQuit).Enabled();
}

std::wstring Line(std::wstring_view text) { return std::wstring(text) + L"\r\n"; }

std::wstring CopyLines(std::wstring_view source, std::wstring_view target) {
  const std::wstring from(source), to(target);
  return Line(L"> Copying file " + from) + Line(L"|      to " + to) +
         Line(L"OP> FileCopy " + from + L", " + to);
}

std::wstring RegisterLines(std::wstring_view tool, std::wstring_view target, bool silent) {
  const std::wstring file(target);
  return Line(L"> Registering file " + file) +
         Line(L"OP> ShellAndWait " + std::wstring(tool) + (silent ? L" /s " : L" ") + L"\"" + file +
              L"\"");
}

std::wstring UnregisterLines(std::wstring_view tool, std::wstring_view target, bool silent) {
  const std::wstring file(target);
  return Line(L"> Unregistering file " + file) +
         Line(L"OP> ShellAndWait " + std::wstring(tool) + L" /u" + (silent ? L" /s " : L" ") +
              L"\"" + file + L"\"");
}

std::wstring DeleteLines(std::wstring_view target) {
  const std::wstring file(target);
  return Line(L"> Deleting file " + file) + Line(L"OP> Kill " + file);
}

std::wstring FailedLine(std::wstring_view why) {
  return Line(L"|      failed: " + std::wstring(why));
}

std::wstring CauseLine(std::wstring_view cause) {
  return Line(L"|      cause: " + std::wstring(cause));
}

std::wstring DoneLines() { return Line(L"") + Line(kDone); }

}  // namespace kalvenor::e2e
