// The program's own facts and surroundings on Win32.
#include <windows.h>
// After windows.h, which they depend on.
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/version_resource.h"
#include "platform/win32/handles.h"
#include "platform/win32/shell.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_system.h"

namespace kalvenor::win32 {
namespace {

platform::AppInfo ReadAppInfo() {
  platform::AppInfo app;
  const std::wstring path = ModulePath();
  app.path = Narrow(std::wstring_view(path).substr(0, path.rfind(L'\\')));
  app.bits = sizeof(void*) == 8 ? 64 : 32;
  app.file = Narrow(path);
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

std::string KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR folder = nullptr;
  std::string path;
  const auto knownFolder = Shell<decltype(::SHGetKnownFolderPath)>("SHGetKnownFolderPath");
  if (knownFolder && SUCCEEDED(knownFolder(id, 0, nullptr, &folder))) path = Narrow(folder);
  ::CoTaskMemFree(folder);
  return path;
}

}  // namespace

std::wstring ModulePath() {
  return GrowingBuffer([](wchar_t* buffer, DWORD size) {
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, size);
    return length == size ? size : length;  // a cut path fills the buffer exactly
  });
}

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

platform::SystemFolders Win32System::SystemFoldersOf() const {
  const auto folder = [](UINT(WINAPI * get)(LPWSTR, UINT)) {
    return Narrow(GrowingBuffer([get](wchar_t* buffer, DWORD size) { return get(buffer, size); }));
  };
  return {folder(::GetSystemWindowsDirectoryW), folder(::GetSystemDirectoryW),
          folder(::GetSystemWow64DirectoryW)};
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

std::uint32_t Win32System::TickCount() const { return ::GetTickCount(); }

platform::LocalTime Win32System::Now() const {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

platform::DateTime Win32System::UtcNow() const {
  SYSTEMTIME now{};
  ::GetSystemTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

std::string Win32System::DocumentsFolder() const { return KnownFolder(FOLDERID_Documents); }

std::string Win32System::ProgramDataFolder() const { return KnownFolder(FOLDERID_ProgramData); }

namespace {

// A GUI program has no console of its own; the one of the program that started it, if any,
// takes the text. Output redirected to a file or pipe goes there instead.
bool WriteToStandard(DWORD which, std::string_view text) {
  HANDLE out = ::GetStdHandle(which);
  DWORD written = 0;
  if (out && out != INVALID_HANDLE_VALUE && ::GetFileType(out) != FILE_TYPE_CHAR &&
      ::GetFileType(out) != FILE_TYPE_UNKNOWN) {
    return ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return false;
  const UniqueFile console(::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
  const std::wstring wide = Widen(text);
  const bool wrote = console && ::WriteConsoleW(console.get(), wide.data(),
                                                static_cast<DWORD>(wide.size()), &written, nullptr);
  ::FreeConsole();
  return wrote;
}

}  // namespace

bool Win32System::WriteToParentConsole(std::string_view text) {
  return WriteToStandard(STD_OUTPUT_HANDLE, text);
}

bool Win32System::WriteErrorsToParentConsole(std::string_view text) {
  return WriteToStandard(STD_ERROR_HANDLE, text);
}

}  // namespace kalvenor::win32
