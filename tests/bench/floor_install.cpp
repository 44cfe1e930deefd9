// The Install floor: the file work and the registration tool runs of an Install, one after the
// other, with no window and no log. What the program takes beyond this is its own overhead.
//   floor_install <regsvr32.exe> <source folder> <target folder>
// Copies each .dll of the source folder into the target folder the way the program does (to a
// temporary file beside the target, which then replaces it), runs `regsvr32.exe /s "<target>"`
// on the copy and waits for it. Prints "elapsed_ms", "cpu_ms" (its own user and kernel time
// over the same stretch), "files" and "failures" lines, and the elapsed time split into
// "copy_ms", "start_ms" (CreateProcessW), "wait_ms" (until the tool has ended) and "log_ms".
// With a journal file, each copy is preceded by what a journal needs on the disk first (below);
// "copy_ms" then includes it.
// Built as floor_install_shown (FLOOR_SHOWN), it does the same beside a shown window whose log,
// an edit control like the program's, gets each component's lines as its copy begins, and
// handles the window's messages while it waits: the least a program that shows its log does.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "floor_log_window.h"

namespace {

double CpuSeconds() {
  FILETIME created, ended, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &ended, &kernel, &user);
  const auto value = [](FILETIME time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return static_cast<double>(value(kernel) + value(user)) / 1e7;  // 100 ns units
}

double Seconds() {
  LARGE_INTEGER counter{}, frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::vector<std::wstring> DllNames(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileExW((folder + L"\\*.dll").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(found.cFileName);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

bool CopyReplacing(const std::wstring& source, const std::wstring& target) {
  const std::wstring temporary = target + L".floor-copy";
  ::DeleteFileW(temporary.c_str());
  if (!::CopyFileExW(source.c_str(), temporary.c_str(), nullptr, nullptr, nullptr,
                     COPY_FILE_FAIL_IF_EXISTS)) {
    return false;
  }
  return ::MoveFileExW(temporary.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

// Appends `bytes` to `path` and waits until they are on the disk.
bool AppendDurably(const std::wstring& path, const void* bytes, DWORD size) {
  const HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool done = ::WriteFile(file, bytes, size, &written, nullptr) && ::FlushFileBuffers(file);
  ::CloseHandle(file);
  return done;
}

// What a journal costs at the least, on the disk before the copy: a backup of the file the copy
// replaces, read once, and one line naming the copy.
bool Journal(const std::wstring& journal, const std::wstring& copy, int number) {
  const HANDLE file = ::CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    std::vector<char> bytes(::GetFileSize(file, nullptr));
    DWORD read = 0;
    const bool done =
        ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
        AppendDurably(journal + L"." + std::to_wstring(number), bytes.data(), read);
    ::CloseHandle(file);
    if (!done) return false;
  }
  const std::wstring line = L"copy\t" + copy + L"\r\n";
  return AppendDurably(journal, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)));
}

// Milliseconds spent starting the tool and waiting for it, added up over the run.
double startMs = 0, waitMs = 0;

#ifdef FLOOR_SHOWN
HWND logBox = nullptr;
using floor_log::Pump;

void ShowLog() {
  HWND window = nullptr;
  logBox = floor_log::CreateLogWindow(L"Install floor", &window);
  Pump();
}

// The step's lines at the end of the log, in view, painted.
void Log(const std::wstring& lines) {
  floor_log::Append(logBox, lines, true);
  ::UpdateWindow(logBox);
}

void WaitFor(HANDLE process) {
  while (::MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
    Pump();
  }
  Pump();
}
#else
void ShowLog() {}
void Log(const std::wstring&) {}
void WaitFor(HANDLE process) { ::WaitForSingleObject(process, INFINITE); }
#endif

bool Register(const std::wstring& tool, const std::wstring& target) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started{};
  std::wstring commandLine = tool + L" /s \"" + target + L"\"";
  const double start = Seconds();
  if (!::CreateProcessW(tool.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
    return false;
  }
  const double running = Seconds();
  ::CloseHandle(started.hThread);
  WaitFor(started.hProcess);
  startMs += (running - start) * 1000;
  waitMs += (Seconds() - running) * 1000;
  DWORD code = 1;
  ::GetExitCodeProcess(started.hProcess, &code);
  ::CloseHandle(started.hProcess);
  return code == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr,
                 "usage: floor_install <regsvr32.exe> <source folder> <target folder> "
                 "[<journal file>]\n");
    return 2;
  }
  const std::wstring tool = argv[1], source = argv[2], target = argv[3];
  const wchar_t* journal = argc == 5 ? argv[4] : nullptr;
  std::vector<std::wstring> names = DllNames(source);
  std::sort(names.begin(), names.end());
  int failures = 0;
  ShowLog();
  const double cpuStart = CpuSeconds();
  const double start = Seconds();
  double copyMs = 0, logMs = 0;
  int journaled = 0;
  for (const std::wstring& name : names) {
    const std::wstring copy = target + L"\\" + name;
    const std::wstring from = source + L"\\" + name;
    const double logging = Seconds();
    Log(L"> Copying file " + from + L"\r\n|      to " + copy + L"\r\nOP> FileCopy " + from + L", " +
        copy + L"\r\n> Registering file " + copy + L"\r\nOP> ShellAndWait " + tool + L" /s \"" +
        copy + L"\"\r\n");
    const double copying = Seconds();
    logMs += (copying - logging) * 1000;
    if (journal && !Journal(journal, copy, ++journaled)) ++failures;
    if (!CopyReplacing(from, copy)) ++failures;
    copyMs += (Seconds() - copying) * 1000;
    if (!Register(tool, copy)) ++failures;
  }
  const double elapsed = Seconds() - start;
  const double cpu = std::max(0.0, CpuSeconds() - cpuStart);
  std::printf("elapsed_ms %.1f\ncpu_ms %.1f\nfiles %zu\nfailures %d\n", elapsed * 1000, cpu * 1000,
              names.size(), failures);
  std::printf("copy_ms %.1f\nstart_ms %.1f\nwait_ms %.1f\nlog_ms %.1f\n", copyMs, startMs, waitMs,
              logMs);
  return failures == 0 ? 0 : 1;
}
