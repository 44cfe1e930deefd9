#include "support.h"

#include <winternl.h>

#include <algorithm>
#include <cwchar>
#include <stdexcept>

namespace kalvenor::bench {

// ---- Failures

void Fail(std::string_view what) { throw std::runtime_error(std::string(what)); }

void FailWithLastError(std::string_view what) {
  Fail(std::string(what) + " (error " + std::to_string(::GetLastError()) + ")");
}

// ---- Time

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER value{};
    ::QueryPerformanceFrequency(&value);
    return static_cast<double>(value.QuadPart);
  }();
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// ---- Files

ScratchFolder::ScratchFolder(std::wstring_view name) {
  wchar_t temp[MAX_PATH + 1] = {};
  if (!::GetTempPathW(MAX_PATH + 1, temp)) FailWithLastError("GetTempPathW");
  path_ = std::wstring(temp) + L"kbench-" + std::wstring(name) + L"-" +
          std::to_wstring(::GetCurrentProcessId());
  RemoveTree(path_);  // left over by a run that was killed
  MakeFolder(path_);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

std::wstring ScratchFolder::Take(const std::wstring& file) const {
  const std::wstring copy = PathOf(NameOf(file));
  CopyInto(file, copy);
  return copy;
}

void MakeFolder(const std::wstring& path) {
  if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    FailWithLastError("CreateDirectoryW " + Narrow(path));
  }
}

void CopyInto(const std::wstring& source, const std::wstring& destination) {
  if (!::CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
    FailWithLastError("CopyFileW " + Narrow(source) + " -> " + Narrow(destination));
  }
}

void WriteFile(const std::wstring& path, std::string_view bytes) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) FailWithLastError("CreateFileW " + Narrow(path));
  DWORD written = 0;
  if (!bytes.empty() &&
      !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    FailWithLastError("WriteFile " + Narrow(path));
  }
}

std::string ReadWhole(const std::wstring& path) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) FailWithLastError("CreateFileW " + Narrow(path));
  std::string bytes(static_cast<std::size_t>(FileSize(path)), '\0');
  DWORD read = 0;
  if (!bytes.empty() &&
      (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
       read != bytes.size())) {
    FailWithLastError("ReadFile " + Narrow(path));
  }
  return bytes;
}

namespace {

// Calls `visit` with each entry of `folder` that matches `pattern`, "." and ".." left out.
template <class Visit>
void ForEachEntry(const std::wstring& folder, std::wstring_view pattern, Visit visit) {
  WIN32_FIND_DATAW found{};
  HANDLE search =
      ::FindFirstFileExW((folder + L"\\" + std::wstring(pattern)).c_str(), FindExInfoBasic, &found,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") visit(name, found.dwFileAttributes);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

}  // namespace

void RemoveTree(const std::wstring& path) {
  ForEachEntry(path, L"*", [&](const std::wstring& name, DWORD attributes) {
    const std::wstring full = path + L"\\" + name;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveTree(full);
    } else {
      ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(full.c_str());
    }
  });
  ::RemoveDirectoryW(path.c_str());
}

std::size_t DeleteMatching(const std::wstring& folder, std::wstring_view pattern) {
  std::size_t deleted = 0;
  ForEachEntry(folder, pattern, [&](const std::wstring& name, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return;
    if (!::DeleteFileW((folder + L"\\" + name).c_str())) {
      FailWithLastError("DeleteFileW " + Narrow(name));
    }
    ++deleted;
  });
  return deleted;
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

std::wstring NameOf(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

std::uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    FailWithLastError("GetFileAttributesExW " + Narrow(path));
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring Numbered(std::wstring_view stem, int number, std::wstring_view extension) {
  wchar_t digits[16];
  std::swprintf(digits, 16, L"%05d", number);
  return std::wstring(stem) + digits + std::wstring(extension);
}

// ---- Processes

namespace {

std::wstring VariableName(const std::wstring& entry) {
  // "=C:=C:\dir" style entries start with their separator.
  return entry.substr(0, entry.find(L'=', 1));
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// This process's environment with `changes` applied, as CreateProcessW takes it: sorted by
// name, each entry ended by a null, the block by one more.
std::wstring EnvironmentBlock(const std::vector<std::pair<std::wstring, std::wstring>>& changes) {
  std::vector<std::wstring> entries;
  wchar_t* strings = ::GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry; entry += std::wcslen(entry) + 1) {
    entries.emplace_back(entry);
  }
  ::FreeEnvironmentStringsW(strings);
  for (const auto& [name, value] : changes) {
    std::erase_if(entries,
                  [&](const std::wstring& entry) { return SameName(VariableName(entry), name); });
    entries.push_back(name + L"=" + value);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return ::CompareStringOrdinal(VariableName(a).c_str(), -1, VariableName(b).c_str(), -1, TRUE) ==
           CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const std::wstring& entry : entries) block += entry + L'\0';
  return block + L'\0';
}

Started Launch(const std::wstring& exe, const std::wstring& arguments, STARTUPINFOW& startup,
               BOOL inheritHandles, const std::wstring* environment) {
  std::wstring commandLine = L"\"" + exe + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  const std::wstring folder = FolderOf(exe);
  PROCESS_INFORMATION created{};
  if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, inheritHandles,
                        CREATE_UNICODE_ENVIRONMENT,
                        environment ? const_cast<wchar_t*>(environment->c_str()) : nullptr,
                        folder.c_str(), &startup, &created)) {
    FailWithLastError("CreateProcessW " + Narrow(exe));
  }
  ::CloseHandle(created.hThread);
  return {UniqueHandle(created.hProcess), created.dwProcessId};
}

}  // namespace

Started StartProcess(const std::wstring& exe, const std::wstring& arguments,
                     const std::vector<std::pair<std::wstring, std::wstring>>& environment) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (environment.empty()) return Launch(exe, arguments, startup, FALSE, nullptr);
  const std::wstring block = EnvironmentBlock(environment);
  return Launch(exe, arguments, startup, FALSE, &block);
}

DWORD RunAndWait(const std::wstring& exe, const std::wstring& arguments) {
  const Started started = StartProcess(exe, arguments);
  ::WaitForSingleObject(started.process.get(), INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(started.process.get(), &code);
  return code;
}

std::string RunCapturingOutput(const std::wstring& exe, const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) FailWithLastError("CreatePipe");
  UniqueHandle reader(readEnd), writer(writeEnd);
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  const Started started = Launch(exe, arguments, startup, TRUE, nullptr);
  writer.Reset();  // so that the read ends when the child's end closes

  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    output.append(buffer, got);
  }
  ::WaitForSingleObject(started.process.get(), INFINITE);
  return output;
}

namespace {

// The system's process list, each entry found through NextEntryOffset.
std::vector<std::byte> ProcessList() {
  std::vector<std::byte> buffer(1 << 20);
  for (;;) {
    ULONG needed = 0;
    const NTSTATUS status = ::NtQuerySystemInformation(SystemProcessInformation, buffer.data(),
                                                       static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) return buffer;
    if (status != static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
      Fail("NtQuerySystemInformation failed");
    }
    buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed));
  }
}

template <class Match>
const SYSTEM_PROCESS_INFORMATION* FindProcess(const std::vector<std::byte>& list, Match match) {
  for (std::size_t offset = 0;;) {
    const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(list.data() + offset);
    if (match(*entry)) return entry;
    if (entry->NextEntryOffset == 0) return nullptr;
    offset += entry->NextEntryOffset;
  }
}

DWORD IdOf(HANDLE id) { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(id)); }

}  // namespace

// GetProcessTimes and GetProcessMemoryInfo answer zero for another process under Wine 8; the
// system's process list carries the same figures and is filled in on Windows and Wine alike.
ProcessFigures FiguresOf(DWORD processId) {
  const std::vector<std::byte> list = ProcessList();
  const SYSTEM_PROCESS_INFORMATION* entry =
      FindProcess(list, [&](const SYSTEM_PROCESS_INFORMATION& entry) {
        return IdOf(entry.UniqueProcessId) == processId;
      });
  if (!entry) Fail("process " + std::to_string(processId) + " is not in the process list");
  ProcessFigures figures;
  // In units of 100 ns.
  figures.cpuSeconds =
      static_cast<double>(entry->UserTime.QuadPart + entry->KernelTime.QuadPart) / 1e7;
  figures.peakWorkingSet = entry->VirtualMemoryCounters.PeakWorkingSetSize;
  return figures;
}

DWORD ChildOf(DWORD parentId) {
  const std::vector<std::byte> list = ProcessList();
  const SYSTEM_PROCESS_INFORMATION* entry =
      FindProcess(list, [&](const SYSTEM_PROCESS_INFORMATION& entry) {
        return IdOf(entry.InheritedFromUniqueProcessId) == parentId;
      });
  return entry ? IdOf(entry->UniqueProcessId) : 0;
}

void WaitForQuiet(DWORD processId) {
  double before = FiguresOf(processId).cpuSeconds;
  WaitUntil(
      [&] {
        ::Sleep(250);
        const double after = FiguresOf(processId).cpuSeconds;
        return std::exchange(before, after) == after;
      },
      20, 0);
}

// ---- Windows of another process

namespace {

struct WindowSearch {
  DWORD processId;
  std::wstring_view className;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<WindowSearch*>(context);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner != search.processId || !::IsWindowVisible(window)) return TRUE;
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  if (search.className != name) return TRUE;
  search.found = window;
  return FALSE;
}

}  // namespace

HWND FindTopLevelWindow(DWORD processId, std::wstring_view className) {
  WindowSearch search{processId, className, nullptr};
  ::EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForMainWindow(const Started& started, std::wstring_view className, double timeoutSeconds) {
  const DWORD idle =
      ::WaitForInputIdle(started.process.get(), static_cast<DWORD>(timeoutSeconds * 1000));
  if (idle != 0) Fail("the program never waited for input (" + std::to_string(idle) + ")");
  HWND window = nullptr;
  if (!WaitUntil([&] { return (window = FindTopLevelWindow(started.id, className)) != nullptr; },
                 timeoutSeconds, 1)) {
    Fail("no visible window of class " + Narrow(className));
  }
  SendTo(window, WM_NULL);
  return window;
}

bool CloseAndWait(HWND window, const Started& started, DWORD timeoutMs) {
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  if (::WaitForSingleObject(started.process.get(), timeoutMs) == WAIT_OBJECT_0) return true;
  ::TerminateProcess(started.process.get(), 1);
  ::WaitForSingleObject(started.process.get(), 5000);
  return false;
}

LRESULT SendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT timeoutMs) {
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &result)) {
    FailWithLastError("window message " + std::to_string(message) + " not answered");
  }
  return static_cast<LRESULT>(result);
}

std::wstring TextOf(HWND window) {
  const auto length = static_cast<std::size_t>(SendTo(window, WM_GETTEXTLENGTH));
  std::wstring text(length + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      SendTo(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

}  // namespace kalvenor::bench
