#include "platform/win32/win32_system.h"

#include <windows.h>
// After windows.h, which they depend on.
#include <aclapi.h>
#include <knownfolders.h>
#include <restartmanager.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "lib/lib_filesystem.h"
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

// For the registry functions, which return their error rather than set it.
platform::Status CheckedStatus(LSTATUS status) {
  if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  return platform::Done{};
}

HKEY RootKey(platform::RegistryRoot root) {
  return root == platform::RegistryRoot::ClassesRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
}

// The view is chosen when the key is opened: Wine knows no RRF_SUBKEY_WOW64 flags.
REGSAM ViewAccess(platform::RegistryView view) {
  return view == platform::RegistryView::Bits64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

// The key in the view, to read its values; empty when it cannot be opened.
UniqueKey OpenToQuery(platform::RegistryRoot root, platform::RegistryView view,
                      std::string_view key) {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(RootKey(root), Widen(key).c_str(), 0, KEY_QUERY_VALUE | ViewAccess(view),
                      &opened) != ERROR_SUCCESS) {
    return UniqueKey();
  }
  return UniqueKey(opened);
}

// The key's default value for an empty name.
const wchar_t* ValueName(const std::wstring& name) { return name.empty() ? nullptr : name.c_str(); }

platform::Status WriteAll(HANDLE file, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    DWORD chunk = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1 << 20));
    if (!::WriteFile(file, bytes.data() + written, wanted, &chunk, nullptr)) return LastError();
    written += chunk;
  }
  return platform::Done{};
}

// CreateDirectoryW's outcome, a folder already there counting as made (a file does not).
platform::Status FolderMade(BOOL created, const std::wstring& folder) {
  if (created) return platform::Done{};
  const DWORD error = ::GetLastError();
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return platform::Done{};
  }
  return ErrorOf(error);
}

std::string KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR folder = nullptr;
  std::string path;
  const auto knownFolder = Shell<decltype(::SHGetKnownFolderPath)>("SHGetKnownFolderPath");
  if (knownFolder && SUCCEEDED(knownFolder(id, 0, nullptr, &folder))) path = Narrow(folder);
  ::CoTaskMemFree(folder);
  return path;
}

bool RunsUnderWine() {
  static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
  return wine;
}

bool IsAdministratorsOrSystem(PSID sid) {
  return ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         ::IsWellKnownSid(sid, WinLocalSystemSid);
}

// The rights that let their holder change a folder, add to it or delete from it, or change who
// may: FILE_WRITE_DATA and FILE_APPEND_DATA are a folder's "add file" and "add subfolder".
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                      WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Owned by the administrators, whatever the system makes the owner of new files; full control
// for them and SYSTEM, inherited by all that is made inside; a protected DACL, so nothing is
// inherited from the parent.
constexpr wchar_t kProtectedRights[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// The full path of the program process `id` runs; empty when it cannot be read.
std::string ImageOf(DWORD id) {
  const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  if (!process) return {};
  std::wstring image(32768, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  if (!::QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) return {};
  image.resize(size);
  return Narrow(image);
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
  const UniqueKey owned = OpenToQuery(root, view, key);
  if (!owned) return std::nullopt;
  const std::wstring wideName = Widen(name);
  const wchar_t* valueName = ValueName(wideName);
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

platform::Status Win32System::WriteNew(std::string_view path, std::string_view bytes) {
  const std::wstring target = Widen(path);
  UniqueFile file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return LastError();
  const platform::Status written = WriteAll(file.get(), bytes);
  if (!written.ok()) {
    file.reset();
    ::DeleteFileW(target.c_str());  // no part-written file left behind
  }
  return written;
}

std::string Win32System::DocumentsFolder() const { return KnownFolder(FOLDERID_Documents); }

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

bool Win32System::Elevated() const {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  UniqueHandle token(opened);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

std::string Win32System::ProgramDataFolder() const { return KnownFolder(FOLDERID_ProgramData); }

platform::Status Win32System::CreateFolder(std::string_view path) {
  const std::wstring folder = Widen(path);
  return FolderMade(::CreateDirectoryW(folder.c_str(), nullptr), folder);
}

platform::Status Win32System::CreateNewFolder(std::string_view path) {
  return Checked(::CreateDirectoryW(Widen(path).c_str(), nullptr));
}

platform::Status Win32System::CreateProtectedFolder(std::string_view path) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedRights, SDDL_REVISION_1,
                                                              &made, nullptr)) {
    return LastError();
  }
  const UniqueSecurityDescriptor rights(made);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, rights.get(), FALSE};
  const std::wstring folder = Widen(path);
  return FolderMade(::CreateDirectoryW(folder.c_str(), &attributes), folder);
}

platform::Result<bool> Win32System::IsProtectedFolder(std::string_view path) const {
  const std::wstring folder = Widen(path);
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  // Whoever owns a link can point it elsewhere, whatever the rights of where it points now.
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  // Wine: keeps no security settings on files and makes one up from the Unix permissions,
  // never protected nor owned by Administrators; what guards its folders is those permissions.
  if (RunsUnderWine()) return true;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR read = nullptr;
  const DWORD status = ::GetNamedSecurityInfoW(
      folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      &owner, nullptr, &dacl, nullptr, &read);
  if (status != ERROR_SUCCESS) return ErrorOf(status);
  const UniqueSecurityDescriptor descriptor(read);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorControl(descriptor.get(), &control, &revision)) return LastError();
  // No DACL lets everyone do everything; one that inherits takes in what the parent grants
  // later; and the owner may always rewrite the DACL.
  if (!dacl || !(control & SE_DACL_PROTECTED) || !IsAdministratorsOrSystem(owner)) return false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return LastError();
    // Files and folders know no object ACEs; the callback ACE is laid out as the plain one.
    const BYTE type = static_cast<const ACE_HEADER*>(ace)->AceType;
    if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kChangeRights) && !IsAdministratorsOrSystem(&allowed->SidStart)) {
      return false;
    }
  }
  return true;
}

platform::Status Win32System::RemoveFolder(std::string_view path) {
  return Checked(::RemoveDirectoryW(Widen(path).c_str()));
}

platform::Status Win32System::AppendDurably(std::string_view path, std::string_view text) {
  // Every write lands at the end of the file; others may read it meanwhile, but not write.
  UniqueFile file(::CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return LastError();
  const platform::Status written = WriteAll(file.get(), text);
  if (!written.ok()) return written;
  return Checked(::FlushFileBuffers(file.get()));
}

platform::Status Win32System::Rename(std::string_view from, std::string_view to) {
  return Checked(::MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), 0));
}

bool Win32System::InUse(std::string_view path) const {
  // A loaded DLL is mapped as an image, which no handle may write to, whatever it shares: the
  // open fails with a sharing violation. A read-only file fails otherwise (access denied).
  const UniqueFile file(::CreateFileW(Widen(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return !file && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

platform::Status Win32System::DeleteAtRestart(std::string_view path) {
  // The session manager that deletes it is a 64-bit program.
  return Checked(
      ::MoveFileExW(Widen(NativePath(path)).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
}

// Other folders, a private WINDIR's among them, are the same for 32-bit and 64-bit programs.
std::string Win32System::NativePath(std::string_view path) const {
  BOOL wow64 = FALSE;
  if (sizeof(void*) == 8 || !::IsWow64Process(::GetCurrentProcess(), &wow64) || !wow64) {
    return std::string(path);
  }
  wchar_t windows[MAX_PATH] = {}, system[MAX_PATH] = {}, redirected[MAX_PATH] = {};
  const UINT windowsLength = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
  const UINT redirectedLength = ::GetSystemWow64DirectoryW(redirected, MAX_PATH);
  for (const UINT length : {windowsLength, systemLength, redirectedLength}) {
    if (length == 0 || length >= MAX_PATH) return std::string(path);
  }
  const std::string native = Narrow(windows) + "\\system32";
  const std::string rebased = File_Rebased(path, Narrow(windows) + "\\sysnative", native);
  if (rebased != path) return rebased;
  return File_Rebased(path, Narrow(system), Narrow(redirected));
}

std::vector<std::string> Win32System::ProgramsUsing(std::string_view path) const {
  const auto start = RestartManager<decltype(::RmStartSession)>("RmStartSession");
  const auto add = RestartManager<decltype(::RmRegisterResources)>("RmRegisterResources");
  const auto list = RestartManager<decltype(::RmGetList)>("RmGetList");
  if (!start || !add || !list) return {};
  DWORD started = 0;
  wchar_t sessionKey[CCH_RM_SESSION_KEY + 1] = {};
  if (start(&started, 0, sessionKey) != ERROR_SUCCESS) return {};
  const UniqueRestartSession session(started);
  const std::wstring file = Widen(path);
  LPCWSTR files[] = {file.c_str()};
  if (add(session.get(), 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) return {};
  // The list may grow between the call that sizes it and the next.
  std::vector<RM_PROCESS_INFO> processes(8);
  for (int attempt = 0;; ++attempt) {
    UINT needed = 0, count = static_cast<UINT>(processes.size());
    DWORD reasons = 0;
    const DWORD status = list(session.get(), &needed, &count, processes.data(), &reasons);
    if (status == ERROR_SUCCESS) {
      processes.resize(count);
      break;
    }
    if (status != ERROR_MORE_DATA || attempt == 3) return {};
    processes.resize(needed);
  }
  std::vector<std::string> names;
  for (const RM_PROCESS_INFO& process : processes) {
    std::string name =
        process.strAppName[0] ? Narrow(process.strAppName) : ImageOf(process.Process.dwProcessId);
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

std::optional<std::uint32_t> Win32System::RegistryDword(platform::RegistryRoot root,
                                                        platform::RegistryView view,
                                                        std::string_view key,
                                                        std::string_view name) const {
  const UniqueKey owned = OpenToQuery(root, view, key);
  if (!owned) return std::nullopt;
  DWORD value = 0, bytes = sizeof value;
  if (::RegGetValueW(owned.get(), nullptr, ValueName(Widen(name)), RRF_RT_REG_DWORD, nullptr,
                     &value, &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::uint32_t{value};
}

platform::Status Win32System::SetRegistryDword(platform::RegistryRoot root,
                                               platform::RegistryView view, std::string_view key,
                                               std::string_view name, std::uint32_t value) {
  HKEY created = nullptr;
  const LSTATUS status =
      ::RegCreateKeyExW(RootKey(root), Widen(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | ViewAccess(view), nullptr, &created, nullptr);
  if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  const UniqueKey owned(created);
  const DWORD data = value;
  return CheckedStatus(::RegSetValueExW(owned.get(), ValueName(Widen(name)), 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&data), sizeof data));
}

platform::Status Win32System::DeleteRegistryValue(platform::RegistryRoot root,
                                                  platform::RegistryView view, std::string_view key,
                                                  std::string_view name) {
  HKEY opened = nullptr;
  LSTATUS status = ::RegOpenKeyExW(RootKey(root), Widen(key).c_str(), 0,
                                   KEY_SET_VALUE | ViewAccess(view), &opened);
  if (status == ERROR_SUCCESS) {
    const UniqueKey owned(opened);
    status = ::RegDeleteValueW(owned.get(), ValueName(Widen(name)));
  }
  // A missing key or value is deleted already.
  if (status == ERROR_FILE_NOT_FOUND) return platform::Done{};
  return CheckedStatus(status);
}

namespace {

// The path of the key `relative` below `key`.
std::wstring Below(std::string_view key, std::string_view relative) {
  std::string path(key);
  if (!relative.empty()) path.append("\\").append(relative);
  return Widen(path);
}

// Adds the values of `from` to `values`, as the values of the tree's key `relative`.
platform::Status ReadValues(HKEY from, const std::string& relative,
                            std::vector<platform::RegistryValue>& values) {
  DWORD longestName = 0, largestData = 0;
  LSTATUS status = ::RegQueryInfoKeyW(from, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, &longestName, &largestData, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  // Never an empty data buffer: given none, the call reports the size and reads nothing.
  std::wstring name(longestName + 1, L'\0');
  std::vector<BYTE> data(std::max<DWORD>(largestData, 1));
  for (DWORD index = 0;;) {
    DWORD nameLength = static_cast<DWORD>(name.size()), type = 0;
    DWORD dataBytes = static_cast<DWORD>(data.size());
    status = ::RegEnumValueW(from, index, name.data(), &nameLength, nullptr, &type, data.data(),
                             &dataBytes);
    if (status == ERROR_NO_MORE_ITEMS) return platform::Done{};
    if (status == ERROR_MORE_DATA) {  // a value that grew since the key was measured
      name.resize(name.size() * 2);
      data.resize(std::max<std::size_t>(dataBytes, data.size() * 2));
      continue;
    }
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
    const auto* bytes = reinterpret_cast<const std::byte*>(data.data());
    values.push_back(
        {relative, Narrow({name.data(), nameLength}), type, {bytes, bytes + dataBytes}});
    ++index;
  }
}

platform::Result<std::vector<std::string>> SubkeyNames(HKEY from) {
  std::vector<std::string> names;
  wchar_t name[256];  // a key's name has 255 characters at most
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(std::size(name));
    const LSTATUS status =
        ::RegEnumKeyExW(from, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return names;
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
    names.push_back(Narrow({name, length}));
  }
}

// Deletes the key with all below it; a missing key is deleted already.
platform::Status DeleteTree(platform::RegistryRoot root, platform::RegistryView view,
                            std::string_view key) {
  const std::wstring path = Widen(key);
  HKEY opened = nullptr;
  LSTATUS status = ::RegOpenKeyExW(
      RootKey(root), path.c_str(), 0,
      DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | ViewAccess(view),
      &opened);
  if (status == ERROR_SUCCESS) {
    const UniqueKey owned(opened);
    status = ::RegDeleteTreeW(owned.get(), nullptr);  // what is below it and its values
  }
  if (status == ERROR_SUCCESS)
    status = ::RegDeleteKeyExW(RootKey(root), path.c_str(), ViewAccess(view), 0);
  if (status == ERROR_FILE_NOT_FOUND) return platform::Done{};
  return CheckedStatus(status);
}

}  // namespace

std::vector<std::string> Win32System::RegistrySubkeys(platform::RegistryRoot root,
                                                      platform::RegistryView view,
                                                      std::string_view key) const {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(RootKey(root), Widen(key).c_str(), 0,
                      KEY_ENUMERATE_SUB_KEYS | ViewAccess(view), &opened) != ERROR_SUCCESS) {
    return {};
  }
  const UniqueKey owned(opened);
  auto names = SubkeyNames(owned.get());
  return names.ok() ? std::move(names.value()) : std::vector<std::string>();
}

platform::Result<std::optional<platform::RegistryTree>> Win32System::ReadRegistryTree(
    platform::RegistryRoot root, platform::RegistryView view, std::string_view key) const {
  platform::RegistryTree tree;
  // Depth first, subkeys in the system's order: each key comes after its parent.
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    const std::string relative = std::move(pending.back());
    pending.pop_back();
    HKEY opened = nullptr;
    const LSTATUS status = ::RegOpenKeyExW(RootKey(root), Below(key, relative).c_str(), 0,
                                           KEY_READ | ViewAccess(view), &opened);
    if (status == ERROR_FILE_NOT_FOUND && relative.empty()) {
      return std::optional<platform::RegistryTree>();
    }
    if (status == ERROR_FILE_NOT_FOUND) continue;  // deleted since its parent listed it
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
    const UniqueKey owned(opened);
    tree.keys.push_back(relative);
    const platform::Status values = ReadValues(owned.get(), relative, tree.values);
    if (!values.ok()) return values.error();
    auto subkeys = SubkeyNames(owned.get());
    if (!subkeys.ok()) return subkeys.error();
    for (auto name = subkeys.value().rbegin(); name != subkeys.value().rend(); ++name) {
      pending.push_back(relative.empty() ? *name : relative + "\\" + *name);
    }
  }
  return std::optional<platform::RegistryTree>(std::move(tree));
}

platform::Status Win32System::WriteRegistryTree(platform::RegistryRoot root,
                                                platform::RegistryView view, std::string_view key,
                                                const std::optional<platform::RegistryTree>& tree) {
  if (key.empty()) return ErrorOf(ERROR_INVALID_PARAMETER);  // never the whole root
  const platform::Status deleted = DeleteTree(root, view, key);
  if (!deleted.ok() || !tree) return deleted;
  // Every key made once, the root first; a key that only a value names is made too.
  std::map<std::string, UniqueKey> made;
  auto make = [&](const std::string& relative) -> platform::Result<HKEY> {
    if (auto found = made.find(relative); found != made.end()) return found->second.get();
    HKEY created = nullptr;
    const LSTATUS status = ::RegCreateKeyExW(
        RootKey(root), Below(key, relative).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
        KEY_SET_VALUE | ViewAccess(view), nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
    return made.emplace(relative, UniqueKey(created)).first->second.get();
  };
  if (auto rootKey = make(""); !rootKey.ok()) return rootKey.error();
  for (const std::string& relative : tree->keys) {
    if (auto created = make(relative); !created.ok()) return created.error();
  }
  for (const platform::RegistryValue& value : tree->values) {
    auto into = make(value.key);
    if (!into.ok()) return into.error();
    // Given a string whose count leaves out its terminating null, the call adds one when the
    // character after the data is a null, reading past it (Windows and Wine alike): two bytes
    // that are no null follow the data, so that it is stored as it was read.
    std::vector<BYTE> bytes(value.data.size() + 2, 0xFF);
    if (!value.data.empty()) std::memcpy(bytes.data(), value.data.data(), value.data.size());
    const LSTATUS status =
        ::RegSetValueExW(into.value(), ValueName(Widen(value.name)), 0, value.type, bytes.data(),
                         static_cast<DWORD>(value.data.size()));
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  }
  return platform::Done{};
}

namespace {

// A file in the journal's store held open without sharing: only administrators and SYSTEM may
// make or open one there, whichever session they run in. The system closes it when the run
// ends, killed or not, and it goes then.
class FileLock final : public platform::RunLock {
 public:
  explicit FileLock(UniqueFile file) : file_(std::move(file)) {}

 private:
  UniqueFile file_;
};

}  // namespace

platform::Result<std::unique_ptr<platform::RunLock>> Win32System::LockRuns() {
  const std::string data = ProgramDataFolder();
  const std::string store = data + "\\Kalvenor";
  // A store that others may change could hold a lock of theirs: the run then keeps no journal,
  // says so, and goes on rather than wait for them.
  platform::Result<bool> trusted =
      data.empty() ? platform::Result<bool>(false) : IsProtectedFolder(store);
  if (!trusted.ok() || !trusted.value()) return std::unique_ptr<platform::RunLock>(std::make_unique<platform::RunLock>());
  UniqueFile lock(::CreateFileW(Widen(store + "\\run.lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                                0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (lock) return std::unique_ptr<platform::RunLock>(std::make_unique<FileLock>(std::move(lock)));
  // Only a lock that another run holds keeps this one out; one that cannot be made (the
  // program is not elevated, say) leaves the run to fail at its steps, as it would.
  if (::GetLastError() == ERROR_SHARING_VIOLATION) return platform::SystemError{32, ""};
  return std::unique_ptr<platform::RunLock>(std::make_unique<platform::RunLock>());
}

bool Win32System::WriteToParentConsole(std::string_view text) {
  // A GUI program has no console of its own; the one of the program that started it, if any,
  // takes the text. Output redirected to a file or pipe goes there instead.
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
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

}  // namespace kalvenor::win32
