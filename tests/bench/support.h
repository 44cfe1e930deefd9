#pragma once
// What the benchmark driver needs around its measurements: handles, clocks, scratch folders,
// child processes and reading the program's windows from outside with standard messages.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/text.h"

namespace kalvenor::bench {

// ---- Handles

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE get() const { return handle_; }
  void Reset(HANDLE handle = nullptr) {
    if (handle_ && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// ---- Failures

// Throws std::runtime_error with `what` and the last Win32 error.
[[noreturn]] void FailWithLastError(std::string_view what);
[[noreturn]] void Fail(std::string_view what);

using win32::Narrow;  // the program's own UTF-16 to UTF-8

// ---- Time

// Seconds on the performance counter, for differences only.
double Now();

// Sleeps `pollMs` between calls of `condition` until it holds; false once `timeout` has passed.
template <class Condition>
bool WaitUntil(Condition condition, double timeoutSeconds, DWORD pollMs) {
  const double end = Now() + timeoutSeconds;
  for (;;) {
    if (condition()) return true;
    if (Now() > end) return false;
    ::Sleep(pollMs);
  }
}

double Median(std::vector<double> values);

// ---- Files

// A fresh folder under the temp directory, removed with everything in it at the end.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::wstring_view name);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::wstring& Path() const { return path_; }
  std::wstring PathOf(std::wstring_view relative) const {
    return path_ + L"\\" + std::wstring(relative);
  }
  // Copies `file` in under its own name; returns the copy's path.
  std::wstring Take(const std::wstring& file) const;

 private:
  std::wstring path_;
};

void MakeFolder(const std::wstring& path);
void CopyInto(const std::wstring& source, const std::wstring& destination);
void WriteFile(const std::wstring& path, std::string_view bytes);
std::string ReadWhole(const std::wstring& path);
void RemoveTree(const std::wstring& path);
// Deletes the files of `folder` that match `pattern` (e.g. L"*.dll"); returns how many.
std::size_t DeleteMatching(const std::wstring& folder, std::wstring_view pattern);
std::wstring FolderOf(const std::wstring& path);
std::wstring NameOf(const std::wstring& path);
std::uint64_t FileSize(const std::wstring& path);
// A numbered file name: Numbered(L"comp", 7, L".dll") is L"comp00007.dll".
std::wstring Numbered(std::wstring_view stem, int number, std::wstring_view extension);

// ---- Processes

struct Started {
  UniqueHandle process;
  DWORD id = 0;
};

// Starts `exe` with `arguments`, in the folder that holds it, with this process's environment
// where each (name, value) pair of `environment` replaces its variable.
Started StartProcess(const std::wstring& exe, const std::wstring& arguments,
                     const std::vector<std::pair<std::wstring, std::wstring>>& environment = {});

// Runs a console program to its end and returns what it wrote to its standard output.
std::string RunCapturingOutput(const std::wstring& exe, const std::wstring& arguments);

// Runs `exe` with `arguments` and waits; returns its exit code.
DWORD RunAndWait(const std::wstring& exe, const std::wstring& arguments);

// What the system's process list says about one process.
struct ProcessFigures {
  double cpuSeconds = 0;             // user plus kernel time so far
  std::uint64_t peakWorkingSet = 0;  // bytes
};
ProcessFigures FiguresOf(DWORD processId);
// A process started by `parentId`, or 0 when there is none.
DWORD ChildOf(DWORD parentId);
// Waits until the process uses no CPU time over a quarter of a second: the end of whatever its
// start left to do (painting, for one) once it first waited for input.
void WaitForQuiet(DWORD processId);

// ---- Windows of another process

// The visible top-level window of class `className` that belongs to process `processId`.
HWND FindTopLevelWindow(DWORD processId, std::wstring_view className);

// Waits until `started` idles in its message loop with its window shown and answering; returns
// that window. Throws after `timeoutSeconds`.
HWND WaitForMainWindow(const Started& started, std::wstring_view className, double timeoutSeconds);

// Asks the window to close and waits for its process to end; false if it would not.
bool CloseAndWait(HWND window, const Started& started, DWORD timeoutMs = 30000);

// A message sent across processes, failing instead of hanging when the window stops answering.
LRESULT SendTo(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0,
               UINT timeoutMs = 600000);

// The whole text of a window, or of an edit control.
std::wstring TextOf(HWND window);

}  // namespace kalvenor::bench
