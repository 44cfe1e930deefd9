// Files and folders on Win32.
#include <windows.h>
// After windows.h, which it depends on.
#include <restartmanager.h>

#include <algorithm>
#include <memory>

#include "platform/wildcard.h"
#include "platform/win32/file_io.h"
#include "platform/win32/handles.h"
#include "platform/win32/shell.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_system.h"

namespace kalvenor::win32 {
namespace {

platform::Status Checked(BOOL succeeded) {
  if (!succeeded) return LastError();
  return platform::Done{};
}

// Opened to be read while other programs may still read, write or delete it. No security
// quality of service: its flag is also FILE_FLAG_OPEN_NO_RECALL, which would keep an offline or
// cloud file's contents away.
UniqueFile OpenToRead(std::string_view path) {
  return UniqueFile(::CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

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

// The attributes a file may be given besides those of its state, which SetAttributes keeps.
constexpr DWORD kOtherAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                   FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

}  // namespace

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

// Hands each piece of the open file to `sink`, till its end. The buffer is no larger than the
// file, and not cleared: most files are far smaller than a piece.
platform::Status EachPiece(HANDLE file, const platform::PieceSink& sink) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) return LastError();
  const std::size_t bytes =
      static_cast<std::size_t>(std::clamp<LONGLONG>(size.QuadPart, 1, platform::kPieceBytes));
  const auto piece = std::make_unique_for_overwrite<std::byte[]>(bytes);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file, piece.get(), static_cast<DWORD>(bytes), &read, nullptr)) {
      return LastError();
    }
    if (read == 0) return platform::Done{};
    platform::Status taken = sink(std::span(piece.get(), read));
    if (!taken.ok()) return taken;
  }
}

platform::Status Win32System::FolderMade(bool created, const std::wstring& folder) {
  if (created) return platform::Done{};
  const DWORD error = ::GetLastError();
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return platform::Done{};
  }
  return ErrorOf(error);
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
  const bool all = attributes == platform::DirAttributes::HiddenAndSystem;
  const DWORD hidden =
      all || attributes == platform::DirAttributes::Hidden ? 0 : FILE_ATTRIBUTE_HIDDEN;
  const DWORD system = all ? 0 : FILE_ATTRIBUTE_SYSTEM;
  const DWORD excluded = (folders ? 0 : FILE_ATTRIBUTE_DIRECTORY | system | hidden);
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

platform::FileState Win32System::StateOf(std::string_view path) const {
  // A pattern names no file, whatever a lookup by it would find. GetFileAttributesW, not its Ex
  // form: a real file named like a device (NUL.dll) is found as the directory search finds it,
  // and the steps then fail at the device the path reaches, in the log; the Ex form fails there
  // (ERROR_BAD_DEV_TYPE under Wine), which would make the listed file read as missing.
  const DWORD attributes = platform::HasWildcards(path) ? INVALID_FILE_ATTRIBUTES
                                                        : ::GetFileAttributesW(Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {};
  return {.exists = true,
          .folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
          .hidden = (attributes & FILE_ATTRIBUTE_HIDDEN) != 0,
          .system = (attributes & FILE_ATTRIBUTE_SYSTEM) != 0,
          .readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0};
}

platform::Status Win32System::SetAttributes(std::string_view path,
                                            const platform::FileState& state) {
  const std::wstring file = Widen(path);
  const DWORD attributes = ::GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  // None at all is written as "normal".
  const DWORD wanted =
      (attributes & kOtherAttributes) | (state.hidden ? FILE_ATTRIBUTE_HIDDEN : 0) |
      (state.system ? FILE_ATTRIBUTE_SYSTEM : 0) | (state.readOnly ? FILE_ATTRIBUTE_READONLY : 0);
  return Checked(::SetFileAttributesW(file.c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL));
}

platform::Status Win32System::Replace(std::string_view replacement, std::string_view destination) {
  // Windows refuses to replace a read-only file, as it refuses to delete one; Wine replaces it
  // (though it refuses the delete). Refused alike everywhere.
  if (StateOf(destination).readOnly) return ErrorOf(ERROR_ACCESS_DENIED);
  return Checked(::MoveFileExW(Widen(replacement).c_str(), Widen(destination).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

platform::Status Win32System::Delete(std::string_view path) {
  return Checked(::DeleteFileW(Widen(path).c_str()));
}

platform::Status Win32System::OpenForDelete(std::string_view path) const {
  const UniqueFile file(::CreateFileW(Widen(path).c_str(), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return LastError();
  return platform::Done{};
}

platform::Result<std::uint64_t> Win32System::FreeBytes(std::string_view folder) const {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(Widen(folder).c_str(), &available, nullptr, nullptr)) {
    return LastError();
  }
  return std::uint64_t{available.QuadPart};
}

platform::Result<std::vector<std::byte>> Win32System::ReadFile(std::string_view path,
                                                               std::size_t maxBytes) const {
  const UniqueFile file = OpenToRead(path);
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

platform::Status Win32System::ReadPieces(std::string_view path,
                                         const platform::PieceSink& sink) const {
  const UniqueFile file = OpenToRead(path);
  if (!file) return LastError();
  return EachPiece(file.get(), sink);
}

platform::Status Win32System::CopyNewDurably(std::string_view source, std::string_view destination,
                                             const platform::PieceSink& sink) {
  const UniqueFile from = OpenToRead(source);
  if (!from) return LastError();
  const std::wstring target = Widen(destination);
  UniqueFile to(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!to) return LastError();
  platform::Status copied = EachPiece(from.get(), [&](std::span<const std::byte> piece) {
    platform::Status taken = sink(piece);
    if (!taken.ok()) return taken;
    return WriteAll(to.get(), {reinterpret_cast<const char*>(piece.data()), piece.size()});
  });
  // Dated as the source, as a copy by the system is: what an administrator compares by date.
  FILETIME written{};
  if (copied.ok() && ::GetFileTime(from.get(), nullptr, nullptr, &written)) {
    copied = Checked(::SetFileTime(to.get(), nullptr, nullptr, &written));
  }
  if (copied.ok()) copied = Checked(::FlushFileBuffers(to.get()));
  if (!copied.ok()) {
    to.reset();
    ::DeleteFileW(target.c_str());  // no part-written copy left behind
  }
  return copied;
}

namespace {

// GetLongPathNameW and GetShortPathNameW alike: the path as it is where the system has no other.
// Into a buffer that nearly every path fits, and only then one of the size the system asks for:
// each call looks up every folder of the path, which costs Wine a few milliseconds a path.
std::string OtherPathName(std::string_view path, DWORD (*WINAPI convert)(LPCWSTR, LPWSTR, DWORD)) {
  const std::wstring wide = Widen(path);
  std::wstring other(MAX_PATH, L'\0');
  DWORD length = convert(wide.c_str(), other.data(), static_cast<DWORD>(other.size()));
  if (length >= other.size()) {  // the size it needs, its null counted
    other.resize(length);
    length = convert(wide.c_str(), other.data(), length);
    if (length >= other.size()) return std::string(path);
  }
  if (length == 0) return std::string(path);
  other.resize(length);
  return Narrow(other);
}

}  // namespace

std::string Win32System::LongPathName(std::string_view path) const {
  return OtherPathName(path, ::GetLongPathNameW);
}

std::string Win32System::ShortPathName(std::string_view path) const {
  return OtherPathName(path, ::GetShortPathNameW);
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

platform::Status Win32System::CreateFolder(std::string_view path) {
  const std::wstring folder = Widen(path);
  return FolderMade(::CreateDirectoryW(folder.c_str(), nullptr), folder);
}

platform::Status Win32System::CreateNewFolder(std::string_view path) {
  return Checked(::CreateDirectoryW(Widen(path).c_str(), nullptr));
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

namespace {

// `path` with the folder `from` it is or lies in replaced by `to`; as it is otherwise (letters
// compared without case, as Windows compares a folder's ASCII name).
std::string Rebased(std::string_view path, std::string_view from, std::string_view to) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  const bool inside = !from.empty() && path.size() >= from.size() &&
                      (path.size() == from.size() || path[from.size()] == '\\') &&
                      std::equal(from.begin(), from.end(), path.begin(),
                                 [&](char a, char b) { return lower(a) == lower(b); });
  return inside ? std::string(to) + std::string(path.substr(from.size())) : std::string(path);
}

}  // namespace

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
  const std::string rebased = Rebased(path, Narrow(windows) + "\\sysnative", native);
  if (rebased != path) return rebased;
  return Rebased(path, Narrow(system), Narrow(redirected));
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

}  // namespace kalvenor::win32
