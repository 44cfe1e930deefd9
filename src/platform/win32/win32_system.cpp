#include "platform/win32/win32_system.h"

#include <windows.h>

#include "platform/version_resource.h"
#include "platform/wildcard.h"
#include "platform/win32/handles.h"
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

class Win32Process final : public platform::Process {
 public:
  explicit Win32Process(UniqueHandle process) : process_(std::move(process)) {}
  platform::Wake WaitForExitOrEvents() override {
    HANDLE handle = process_.get();
    const DWORD woke =
        ::MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
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
  platform::Result<std::uint32_t> ExitCode() const override { return exitCode_; }

 private:
  UniqueHandle process_;
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
  const DWORD hidden = attributes == platform::DirAttributes::Hidden ? 0 : FILE_ATTRIBUTE_HIDDEN;
  const DWORD excluded = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM | hidden;
  do {
    if (found.dwFileAttributes & excluded) continue;
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
  return std::unique_ptr<platform::Process>(std::make_unique<Win32Process>(std::move(process)));
}

std::uint32_t Win32System::TickCount() const { return ::GetTickCount(); }

}  // namespace kalvenor::win32
