#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <ostream>
#include <stdexcept>
#include <thread>

namespace kalvenor::e2e {
namespace {

constexpr wchar_t kMainWindowClass[] = L"KalvenorWindow";
constexpr UINT kAnswerMilliseconds = 5000;  // how long a window may take to answer a message
constexpr auto kPollInterval = 10ms;

std::string LastErrorText(std::string_view what) {
  return std::string(what) + " (error " + std::to_string(::GetLastError()) + ")";
}

[[noreturn]] void Fail(std::string_view what) { throw std::runtime_error(std::string(what)); }

std::wstring NameOf(const std::wstring& entry) {
  // "=C:=C:\dir" style entries start with their separator.
  return entry.substr(0, entry.find(L'=', 1));
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// This process's environment with the launch's changes, as CreateProcessW takes it: sorted by
// name, each entry ended by a null, the block by one more.
std::wstring EnvironmentBlock(const Launch& launch) {
  std::vector<std::wstring> entries;
  wchar_t* strings = ::GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry; entry += std::wcslen(entry) + 1) {
    entries.emplace_back(entry);
  }
  ::FreeEnvironmentStringsW(strings);
  for (const auto& [name, value] : launch.environment) {
    std::erase_if(entries,
                  [&](const std::wstring& entry) { return SameName(NameOf(entry), name); });
    if (value) entries.push_back(name + L"=" + *value);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    const std::wstring left = NameOf(a), right = NameOf(b);
    return ::CompareStringOrdinal(left.c_str(), -1, right.c_str(), -1, TRUE) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const std::wstring& entry : entries) block += entry + L'\0';
  return block + L'\0';
}

struct ProcessWindows {
  DWORD processId;
  std::function<bool(HWND)> wanted;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<ProcessWindows*>(context);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner == search.processId && search.wanted(window)) search.found.push_back(window);
  return TRUE;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  ::GetClassNameW(window, name, 256);
  return name;
}

std::wstring LongTempDirectory() {
  wchar_t temp[MAX_PATH + 1] = {};
  if (!::GetTempPathW(MAX_PATH + 1, temp)) Fail(LastErrorText("no temp directory"));
  // The long form: the program reports its folder as it was started from.
  wchar_t longTemp[32768] = {};
  if (!::GetLongPathNameW(temp, longTemp, 32768)) Fail(LastErrorText("no long temp path"));
  return longTemp;
}

}  // namespace

bool RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  bool removed = true;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = path + L"\\" + name;
      ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        removed = RemoveTree(full) && removed;
      } else {
        removed = ::DeleteFileW(full.c_str()) && removed;
      }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  return ::RemoveDirectoryW(path.c_str()) && removed;
}

void ForgetStoredRuns() {
  const std::wstring runs = EnvironmentVariable(L"ProgramData") + L"\\Kalvenor\\runs";
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileExW((runs + L"\\0*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      RemoveTree(runs + L"\\" + found.cFileName);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

std::vector<HWND> TopLevelWindows(DWORD processId, std::function<bool(HWND)> wanted) {
  ProcessWindows search{processId, std::move(wanted), {}};
  ::EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// ---- What is under test

Locations& UnderTest() {
  static Locations locations;
  return locations;
}

std::wstring SamplePath(std::wstring_view name) {
  return UnderTest().samples + L"\\" + std::wstring(name);
}

// ---- Waiting

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

// ---- Text

std::wstring LowerCase(std::wstring_view text) {
  std::wstring lower(text);
  if (!lower.empty()) ::CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
  return lower;
}

std::wstring EnvironmentVariable(const wchar_t* name) {
  const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return {};
  std::wstring value(needed, L'\0');
  value.resize(::GetEnvironmentVariableW(name, value.data(), needed));
  return value;
}

// ---- Handles

// ---- Files

TempFolder::TempFolder() : TempFolder(L"Kalvenor E2E-") {}

TempFolder::TempFolder(std::wstring_view namePrefix)
    : TempFolder(namePrefix, LongTempDirectory()) {}

TempFolder::TempFolder(std::wstring_view namePrefix, std::wstring base) {
  if (base.ends_with(L'\\')) base.pop_back();
  static unsigned counter = 0;
  for (;;) {
    path_ = base + L"\\" + std::wstring(namePrefix) + std::to_wstring(::GetCurrentProcessId()) +
            L"-" + std::to_wstring(++counter);
    if (::CreateDirectoryW(path_.c_str(), nullptr)) return;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) Fail(LastErrorText("cannot make temp folder"));
  }
}

TempFolder::~TempFolder() {
  // A program that has just ended may hold its files for a moment longer.
  if (!WaitUntil([&] { return RemoveTree(path_); })) {
    ADD_FAILURE() << "could not remove " << Narrow(path_);
  }
}

std::wstring TempFolder::PathOf(std::wstring_view relative) const {
  return path_ + L"\\" + std::wstring(relative);
}

std::wstring TempFolder::Copy(const std::wstring& source, std::wstring_view relative) const {
  const std::wstring target = PathOf(relative);
  if (!::CopyFileW(source.c_str(), target.c_str(), TRUE)) {
    Fail(LastErrorText("cannot copy " + Narrow(source) + " to " + Narrow(target)));
  }
  return target;
}

std::wstring TempFolder::Write(std::wstring_view relative, std::string_view bytes) const {
  const std::wstring target = PathOf(relative);
  HANDLE created = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (created == INVALID_HANDLE_VALUE) Fail(LastErrorText("cannot create " + Narrow(target)));
  UniqueHandle file(created);
  DWORD written = 0;
  if (!bytes.empty() && (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                      &written, nullptr) ||
                         written != bytes.size())) {
    Fail(LastErrorText("cannot write " + Narrow(target)));
  }
  return target;
}

std::wstring TempFolder::MakeFolder(std::wstring_view relative) const {
  const std::wstring target = PathOf(relative);
  if (!::CreateDirectoryW(target.c_str(), nullptr)) {
    Fail(LastErrorText("cannot make folder " + Narrow(target)));
  }
  return target;
}

void TempFolder::AddAttributes(std::wstring_view relative, DWORD attributes) const {
  const std::wstring target = PathOf(relative);
  const DWORD current = ::GetFileAttributesW(target.c_str());
  if (current == INVALID_FILE_ATTRIBUTES ||
      !::SetFileAttributesW(target.c_str(), current | attributes)) {
    Fail(LastErrorText("cannot set attributes of " + Narrow(target)));
  }
}

// ---- Windows of the program

void PrintTo(const PixelRect& rect, std::ostream* out) {
  *out << "{left " << rect.left << ", top " << rect.top << ", width " << rect.width << ", height "
       << rect.height << "}";
}

LRESULT Window::Send(UINT message, WPARAM wParam, LPARAM lParam) const {
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(handle_, message, wParam, lParam, SMTO_ABORTIFHUNG,
                             kAnswerMilliseconds, &result)) {
    Fail(LastErrorText("window of class " + Narrow(ClassName()) + " did not answer message " +
                       std::to_string(message)));
  }
  return static_cast<LRESULT>(result);
}

std::wstring Window::ClassName() const { return ClassOf(handle_); }

std::wstring Window::Text() const {
  const auto length = static_cast<std::size_t>(Send(WM_GETTEXTLENGTH));
  std::wstring text(length + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      Send(WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

int Window::Id() const { return ::GetDlgCtrlID(handle_); }

LONG_PTR Window::Style() const { return ::GetWindowLongPtrW(handle_, GWL_STYLE); }

bool Window::Visible() const { return ::IsWindowVisible(handle_) != FALSE; }

bool Window::Enabled() const { return ::IsWindowEnabled(handle_) != FALSE; }

PixelRect Window::Rect() const {
  RECT box{};
  ::GetWindowRect(handle_, &box);
  if (Style() & WS_CHILD) {
    ::MapWindowPoints(nullptr, ::GetAncestor(handle_, GA_PARENT), reinterpret_cast<POINT*>(&box),
                      2);
  }
  return {box.left, box.top, box.right - box.left, box.bottom - box.top};
}

SIZE Window::ClientSize() const {
  RECT client{};
  ::GetClientRect(handle_, &client);
  return {client.right, client.bottom};
}

UINT Window::Dpi() const { return ::GetDpiForWindow(handle_); }

int Window::CheckState() const { return static_cast<int>(Send(BM_GETCHECK)); }

std::vector<std::wstring> Window::Items() const {
  const LRESULT count = Send(LB_GETCOUNT);
  if (count == LB_ERR) Fail("not a list box: " + Narrow(ClassName()));
  std::vector<std::wstring> items;
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = Send(LB_GETTEXTLEN, static_cast<WPARAM>(i));
    if (length == LB_ERR) Fail("list box item " + std::to_string(i) + " went away");
    std::wstring item(static_cast<std::size_t>(length) + 1, L'\0');
    item.resize(static_cast<std::size_t>(
        Send(LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item.data()))));
    items.push_back(std::move(item));
  }
  return items;
}

std::vector<Window> Window::Children() const {
  std::vector<Window> children;
  for (HWND child = ::GetWindow(handle_, GW_CHILD); child;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    children.emplace_back(child);
  }
  return children;
}

Window Window::Child(int id) const {
  HWND child = ::GetDlgItem(handle_, id);
  if (!child) Fail("no control with id " + std::to_string(id));
  return Window(child);
}

void Window::Click() const {
  if (!Visible() || !Enabled()) {
    Fail("cannot click the hidden or disabled control \"" + Narrow(Text()) + "\"");
  }
  const SIZE size = ClientSize();
  const LPARAM centre = MAKELPARAM(size.cx / 2, size.cy / 2);
  ::PostMessageW(handle_, WM_LBUTTONDOWN, MK_LBUTTON, centre);
  ::PostMessageW(handle_, WM_LBUTTONUP, 0, centre);
}

void Window::PointAt() const {
  const SIZE size = ClientSize();
  PointAt({size.cx / 2, size.cy / 2});
}

void Window::PointAt(POINT client) const {
  if (!::ClientToScreen(handle_, &client) || !::SetCursorPos(client.x, client.y)) {
    Fail(LastErrorText("cannot move the pointer"));
  }
}

void PrintTo(const Window& window, std::ostream* out) {
  if (!window) {
    *out << "no window";
    return;
  }
  // The caption as the system keeps it: no message, so a hung program cannot hang this.
  wchar_t caption[256] = {};
  ::GetWindowTextW(window.Handle(), caption, 256);
  *out << Narrow(window.ClassName()) << " id " << window.Id() << " \"" << Narrow(caption) << "\"";
}

// ---- The common file-open dialog

void ChooseInFileDialog(const Window& dialog, std::wstring_view name) {
  // Shown once it has set itself up, its initial name included.
  if (!WaitUntil([&] { return dialog.Visible(); })) Fail("the file dialog never showed");
  // The file name field: an edit inside the combo box (inside its extended wrapper) that
  // carries the same id.
  constexpr int kFileNameField = 1148;
  Window field = dialog.Child(kFileNameField);
  while (LowerCase(field.ClassName()) != L"edit") field = field.Child(kFileNameField);
  const std::wstring text(name);
  DWORD_PTR ignored = 0;
  if (!::SendMessageTimeoutW(field.Handle(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                             SMTO_ABORTIFHUNG, kAnswerMilliseconds, &ignored)) {
    Fail(LastErrorText("the file name field did not take the name"));
  }
  ::PostMessageW(dialog.Handle(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(dialog.Handle(), IDOK)));
}

// ---- The program

App::App(const std::wstring& folder, const Launch& launch) {
  try {
    Start(folder, launch);
  } catch (...) {
    // No destructor runs for a half-made App: end what was started here.
    if (process_.get()) {
      ::TerminateProcess(process_.get(), 1);
      ::WaitForSingleObject(process_.get(), kAnswerMilliseconds);
    }
    throw;
  }
}

void App::Start(const std::wstring& folder, const Launch& launch) {
  if (UnderTest().exe.empty()) Fail("no program under test: set KALVENOR_EXE");
  exe_ = folder + L"\\kalvenor.exe";
  if (!::CopyFileW(UnderTest().exe.c_str(), exe_.c_str(), TRUE)) {
    Fail(LastErrorText("cannot copy the program to " + Narrow(exe_)));
  }

  std::wstring commandLine = L"\"" + exe_ + L"\"";
  if (!launch.arguments.empty()) commandLine += L" " + launch.arguments;
  std::wstring environment = launch.environment.empty() ? L"" : EnvironmentBlock(launch);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  // Started from its own folder, as from a double click in it.
  const auto start = [&] {
    return ::CreateProcessW(
        exe_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
        environment.empty() ? nullptr : environment.data(), folder.c_str(), &startup, &started);
  };
  // Wine's process creation has failed once with ERROR_INTERNAL_ERROR before the program ran
  // any code of its own; that failure, and only it, is tried once more.
  if (!start() && (::GetLastError() != ERROR_INTERNAL_ERROR || !start())) {
    Fail(LastErrorText("cannot start " + Narrow(exe_)));
  }
  ::CloseHandle(started.hThread);
  process_ = UniqueHandle(started.hProcess);
  processId_ = started.dwProcessId;

  const auto timeout = static_cast<DWORD>(kTimeout.count());
  if (::WaitForInputIdle(process_.get(), timeout) != 0) {
    Fail(Running() ? "the program never waited for input"
                   : "the program ended during start-up, exit code " +
                         std::to_string(ExitCode().value_or(0)));
  }
  std::vector<HWND> mains;
  WaitUntil([&] {
    mains = TopLevelWindows(processId_, [](HWND window) {
      return ClassOf(window) == kMainWindowClass && ::IsWindowVisible(window);
    });
    return !mains.empty() || !Running();
  });
  if (mains.size() != 1) {
    Fail("expected one visible main window, found " + std::to_string(mains.size()));
  }
  main_ = Window(mains.front());
  // A message round trip: the program is in a message loop, not still starting.
  DWORD_PTR ignored = 0;
  if (!::SendMessageTimeoutW(main_.Handle(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kAnswerMilliseconds,
                             &ignored)) {
    Fail("the main window does not answer");
  }
}

App::~App() {
  if (!Running() || Close()) return;
  ::TerminateProcess(process_.get(), 1);
  ::WaitForSingleObject(process_.get(), kAnswerMilliseconds);
  ADD_FAILURE() << "the program did not close and had to be ended";
}

Window App::Focus() const {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  const DWORD thread = ::GetWindowThreadProcessId(main_.Handle(), nullptr);
  if (!::GetGUIThreadInfo(thread, &info)) return Window();
  return Window(info.hwndFocus);
}

std::optional<Window> App::FindWindowTitled(std::wstring_view title) const {
  const HWND main = main_.Handle();
  std::vector<HWND> found = TopLevelWindows(processId_, [&](HWND window) {
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    return window != main && title == text;
  });
  if (found.empty()) return std::nullopt;
  return Window(found.front());
}

std::optional<Window> App::FindWindowOfClass(std::wstring_view className) const {
  std::vector<HWND> found =
      TopLevelWindows(processId_, [&](HWND window) { return ClassOf(window) == className; });
  if (found.empty()) return std::nullopt;
  return Window(found.front());
}

Window App::WaitForWindowTitled(std::wstring_view title, std::chrono::milliseconds timeout) const {
  std::optional<Window> found;
  WaitUntil([&] { return (found = FindWindowTitled(title)).has_value(); }, timeout);
  if (!found) Fail("no window titled \"" + Narrow(title) + "\"");
  return *found;
}

void App::PostToFocus(UINT message, WPARAM wParam, LPARAM lParam) const {
  Window target = Focus();
  if (!target) target = main_;
  ::PostMessageW(target.Handle(), message, wParam, lParam);
}

namespace {

// The lParam of a key message: repeat count 1, the scan code, and the flags given.
LPARAM KeyData(WORD virtualKey, LPARAM flags) {
  const UINT scan = ::MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
  return 1 | static_cast<LPARAM>(scan << 16) | flags;
}

constexpr LPARAM kAltDown = 1 << 29;
constexpr LPARAM kReleased = static_cast<LPARAM>(3u << 30);  // was down, is going up

}  // namespace

void App::PressKey(WORD virtualKey) const {
  PostToFocus(WM_KEYDOWN, virtualKey, KeyData(virtualKey, 0));
  PostToFocus(WM_KEYUP, virtualKey, KeyData(virtualKey, kReleased));
}

void App::PressAltKey(WORD virtualKey) const {
  PostToFocus(WM_SYSKEYDOWN, virtualKey, KeyData(virtualKey, kAltDown));
  PostToFocus(WM_SYSKEYUP, virtualKey, KeyData(virtualKey, kAltDown | kReleased));
}

void App::TypeChar(wchar_t character) const { PostToFocus(WM_CHAR, character, 1); }

bool App::Close(std::chrono::milliseconds timeout) {
  if (!Running()) return true;
  ::PostMessageW(main_.Handle(), WM_CLOSE, 0, 0);
  return WaitForExit(timeout);
}

bool App::WaitForExit(std::chrono::milliseconds timeout) const {
  return ::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) ==
         WAIT_OBJECT_0;
}

void App::Kill() {
  ::TerminateProcess(process_.get(), 1);
  WaitForExit();
}

bool App::Running() const { return ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

std::optional<DWORD> App::ExitCode() const {
  DWORD code = 0;
  if (Running() || !::GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
  return code;
}

}  // namespace kalvenor::e2e
