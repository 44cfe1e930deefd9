#include "platform/win32/win32_system.h"

#include <windows.h>
// After windows.h, which they depend on.
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>

#include "platform/version_resource.h"
#include "platform/wildcard.h"
#include "platform/win32/handles.h"
#include "platform/win32/shell.h"
#include "platform/win32/text.h"

namespace kalvenor::win32 {
namespace {

// Calls `get(buffer, size)` with a growing buffer until the whole text fits; for the Win32
// calls that return the length they need (or wrote) in characters.
template <class Get>
std::wstring GrowingBuffer(Get get) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = get(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring ModulePath() {
  return GrowingBuffer([](wchar_t* buffer, DWORD size) {
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, size);
    return length == size ? size : length;  // a cut path fills the buffer exactly
  });
}

platform::AppInfo ReadAppInfo() {
  platform::AppInfo app;
  const std::wstring path = ModulePath();
  app.path = Narrow(std::wstring_view(path).substr(0, path.rfind(L'\\')));
  app.bits = sizeof(void*) == 8 ? 64 : 32;
  // Read straight from the program's own resources: the version DLL is not a known system DLL,
  // and importing it would let a copy planted beside the program load into it.
  HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  HGLOBAL loaded = found ? ::LoadResource(nullptr, found) : nullptr;
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (bytes) {
    auto records = platform::ParseVersionResource(
        {static_cast<const std::byte*>(bytes), ::SizeofResource(nullptr, found)});
    if (records) {
      app.title = records->title;
      app.major = records->major;
      app.minor = records->minor;
      app.revision = records->revision;
    }
  }
  return app;
}

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

class Win32Process final : public platform::Process {
 public:
  Win32Process(UniqueHandle process, DWORD id) : process_(std::move(process)), id_(id) {}
  platform::Result<std::uint32_t> ExitCode() const override { return exitCode_; }
  void FlashWindows() override { ::EnumWindows(&FlashIfOf, static_cast<LPARAM>(id_)); }

 private:
  platform::Wake Wait(std::optional<std::uint32_t> timeoutMs) override {
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

  UniqueHandle process_;
  DWORD id_;
  platform::Result<std::uint32_t> exitCode_ = std::uint32_t{0};
};

WORD ShowCommand(platform::ShowWindow show) {
  switch (show) {
    case platform::ShowWindow::Normal: return SW_SHOWNORMAL;
  }
  return SW_SHOWNORMAL;
}

platform::Status Checked(BOOL succeeded) {
  if (!succeeded) return LastError();
  return platform::Done{};
}

}  // namespace

Win32System::Win32System() : app_(ReadAppInfo()) {}

std::optional<std::string> Win32System::Environ(std::string_view name) const {
  const std::wstring wideName = Widen(name);
  ::SetLastError(ERROR_SUCCESS);
  const DWORD needed = ::GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (needed == 0) {
    if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring value(needed, L'\0');
  value.resize(::GetEnvironmentVariableW(wideName.c_str(), value.data(), needed));
  return Narrow(value);
}

std::string Win32System::CurDir() const {
  // Too small a buffer makes it return the size needed, which the loop grows to.
  return Narrow(GrowingBuffer(
      [](wchar_t* buffer, DWORD size) { return ::GetCurrentDirectoryW(size, buffer); }));
}

std::string Win32System::LowerCase(std::string_view text) const {
  const std::wstring wide = Widen(text);
  if (wide.empty()) return {};
  std::wstring lower(wide.size(), L'\0');
  const int length = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide.data(),
                                     static_cast<int>(wide.size()), lower.data(),
                                     static_cast<int>(lower.size()), nullptr, nullptr, 0);
  if (length <= 0) {
    // Never an empty path for a failed mapping: at least the letters A to Z are lowered.
    std::string ascii(text);
    for (char& c : ascii) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return ascii;
  }
  lower.resize(static_cast<std::size_t>(length));
  return Narrow(lower);
}

std::vector<std::string> Win32System::Dir(std::string_view pattern,
                                          platform::DirAttributes attributes) {
  std::vector<std::string> names;
  const std::size_t slash = pattern.rfind('\\');
  const std::string_view namePattern =
      slash == std::string_view::npos ? pattern : pattern.substr(slash + 1);
  WIN32_FIND_DATAW found{};
  UniqueFind search(::FindFirstFileExW(Widen(pattern).c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0));
  if (!search) return names;
  const bool folders = attributes == platform::DirAttributes::Folders;
  const DWORD hidden = attributes == platform::DirAttributes::Hidden ? 0 : FILE_ATTRIBUTE_HIDDEN;
  const DWORD excluded = (folders ? 0 : FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM | hidden);
  do {
    if (found.dwFileAttributes & excluded) continue;
    if (folders != ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) continue;
    std::string name = Narrow(found.cFileName);
    // Windows also matches a pattern against short 8.3 names, so "*.dll" would bring
    // "a.dll_old" (short name A~1.DLL); only the real name may match.
    if (platform::HasWildcards(namePattern) && !platform::WildcardMatch(namePattern, name)) {
      continue;
    }
    names.push_back(std::move(name));
  } while (::FindNextFileW(search.get(), &found));
  return names;
}

platform::Status Win32System::CopyNew(std::string_view source, std::string_view destination) {
  return Checked(::CopyFileExW(Widen(source).c_str(), Widen(destination).c_str(), nullptr, nullptr,
                               nullptr, COPY_FILE_FAIL_IF_EXISTS));
}

platform::Status Win32System::Replace(std::string_view replacement, std::string_view destination) {
  const std::wstring target = Widen(destination);
  // Windows refuses to replace a read-only file; Wine replaces it (as does a root process there).
  // Refuse alike everywhere: read-only is the owner's "keep this".
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    return ErrorOf(ERROR_ACCESS_DENIED);
  }
  return Checked(::MoveFileExW(Widen(replacement).c_str(), target.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

platform::Status Win32System::Delete(std::string_view path) {
  return Checked(::DeleteFileW(Widen(path).c_str()));
}

platform::Result<std::unique_ptr<platform::Process>> Win32System::Start(
    std::string_view program, std::string_view commandLine, platform::ShowWindow show) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = ShowCommand(show);
  PROCESS_INFORMATION started{};
  // The program is named on its own, so a blank in its path can never make the system start
  // another program; the command line needs a writable copy.
  std::wstring writable = Widen(commandLine);
  if (!::CreateProcessW(Widen(program).c_str(), writable.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &started)) {
    return LastError();
  }
  UniqueHandle process(started.hProcess), thread(started.hThread);
  thread.reset();  // nothing waits on the thread
  // The tool may bring its own window (a message box) to the front.
  ::AllowSetForegroundWindow(started.dwProcessId);
  return std::unique_ptr<platform::Process>(
      std::make_unique<Win32Process>(std::move(process), started.dwProcessId));
}

std::uint32_t Win32System::TickCount() const { return ::GetTickCount(); }

platform::Result<std::vector<std::byte>> Win32System::ReadFile(std::string_view path,
                                                               std::size_t maxBytes) const {
  UniqueFile file(::CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return LastError();
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return LastError();
  std::vector<std::byte> bytes(
      std::min(static_cast<std::size_t>(std::max<LONGLONG>(size.QuadPart, 0)), maxBytes));
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    DWORD read = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - filled, 1 << 20));
    if (!::ReadFile(file.get(), bytes.data() + filled, wanted, &read, nullptr)) return LastError();
    if (read == 0) break;  // the file shrank meanwhile
    filled += read;
  }
  bytes.resize(filled);
  return bytes;
}

std::optional<std::string> Win32System::RegistryString(platform::RegistryRoot root,
                                                       platform::RegistryView view,
                                                       std::string_view key,
                                                       std::string_view name) const {
  const HKEY rootKey =
      root == platform::RegistryRoot::ClassesRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
  // The view is chosen when the key is opened: Wine knows no RRF_SUBKEY_WOW64 flags.
  const REGSAM view64 = view == platform::RegistryView::Bits64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(rootKey, Widen(key).c_str(), 0, KEY_QUERY_VALUE | view64, &opened) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  const UniqueKey owned(opened);
  const std::wstring wideName = Widen(name);
  const wchar_t* valueName = wideName.empty() ? nullptr : wideName.c_str();
  // Strings only: asked for REG_SZ alone, a REG_EXPAND_SZ value comes back expanded too (with
  // RRF_RT_REG_EXPAND_SZ added, the call refuses to expand and fails).
  constexpr DWORD kStrings = RRF_RT_REG_SZ;
  std::wstring value(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    const LSTATUS status =
        ::RegGetValueW(owned.get(), nullptr, valueName, kStrings, nullptr, value.data(), &bytes);
    if (status == ERROR_SUCCESS) {
      value.resize(bytes / sizeof(wchar_t));
      while (!value.empty() && value.back() == L'\0') value.pop_back();
      return Narrow(value);
    }
    if (status != ERROR_MORE_DATA) return std::nullopt;
    value.resize(bytes / sizeof(wchar_t) + 1);
  }
  return std::nullopt;
}

std::string Win32System::LongPathName(std::string_view path) const {
  const std::wstring wide = Widen(path);
  const DWORD needed = ::GetLongPathNameW(wide.c_str(), nullptr, 0);
  if (needed == 0) return std::string(path);
  std::wstring longer(needed, L'\0');
  const DWORD length = ::GetLongPathNameW(wide.c_str(), longer.data(), needed);
  if (length == 0 || length >= needed) return std::string(path);
  longer.resize(length);
  return Narrow(longer);
}

platform::Status Win32System::WriteFile(std::string_view path, std::string_view bytes) {
  // Written beside the target first, then put in its place in one step.
  const std::wstring target = Widen(path);
  const std::wstring temporary = target + L".kalvenor-save";
  {
    UniqueFile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastError();
    std::size_t written = 0;
    while (written < bytes.size()) {
      DWORD chunk = 0;
      const DWORD wanted =
          static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1 << 20));
      if (!::WriteFile(file.get(), bytes.data() + written, wanted, &chunk, nullptr)) {
        const platform::SystemError failure = LastError();
        file.reset();
        ::DeleteFileW(temporary.c_str());
        return failure;
      }
      written += chunk;
    }
  }
  if (!::MoveFileExW(temporary.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const platform::SystemError failure = LastError();
    ::DeleteFileW(temporary.c_str());
    return failure;
  }
  return platform::Done{};
}

std::string Win32System::DocumentsFolder() const {
  PWSTR folder = nullptr;
  std::string documents;
  const auto knownFolder = Shell<decltype(::SHGetKnownFolderPath)>("SHGetKnownFolderPath");
  if (knownFolder && SUCCEEDED(knownFolder(FOLDERID_Documents, 0, nullptr, &folder))) {
    documents = Narrow(folder);
  }
  ::CoTaskMemFree(folder);
  return documents;
}

platform::LocalTime Win32System::Now() const {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

bool Win32System::Elevated() const {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  UniqueHandle token(opened);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

}  // namespace kalvenor::win32
