// The log floor: what appending lines to a shown multi-line edit control costs by itself, with
// the program's styles and its common controls version, in a bare window.
//   floor_log <lines> <way>
// Ways of appending each line:
//   append    as the program does: caret to the end, replace the selection, caret to the end
//             again, scroll the caret into view
//   noscroll  the same without scrolling the caret into view
//   noredraw  the same as append, with redrawing off for the whole run and one repaint after
//   hidden    the same as append, with the control hidden for the whole run
//   once      all the lines handed over in one piece, as the program does when nothing else
//             runs between them
// Prints "elapsed_ms", "lines" (what the control holds afterwards) and "peak_ws_kib", the
// process's peak working set: the window, the control and its text.
#include <windows.h>
// After windows.h, which it depends on.
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "floor_log_window.h"

namespace {

double Seconds() {
  LARGE_INTEGER counter{}, frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

using floor_log::Append;
using floor_log::Pump;

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: floor_log <lines> append|noscroll|noredraw|hidden|once\n");
    return 2;
  }
  const int lines = static_cast<int>(std::wcstol(argv[1], nullptr, 10));
  const std::wstring way = argv[2];
  HWND window = nullptr;
  const HWND edit = floor_log::CreateLogWindow(L"Log floor", &window);
  if (!edit) return 1;
  for (int settle = 0; settle < 20; ++settle) {
    Pump();
    ::Sleep(10);
  }

  const bool scroll = way != L"noscroll";
  const double start = Seconds();
  if (way == L"noredraw") ::SendMessageW(edit, WM_SETREDRAW, FALSE, 0);
  if (way == L"hidden") ::ShowWindow(edit, SW_HIDE);
  std::wstring all;
  for (int i = 1; i <= lines; ++i) {
    wchar_t line[128];
    std::swprintf(line, 128,
                  L"> File not found C:\\users\\root\\Temp\\kbench-missing\\gone%05d.dll\r\n", i);
    if (way == L"once") {
      all += line;
    } else {
      Append(edit, line, scroll);
    }
  }
  if (way == L"once") {
    Append(edit, all, true);
    all = std::wstring();
  }
  if (way == L"noredraw") {
    ::SendMessageW(edit, WM_SETREDRAW, TRUE, 0);
    ::SendMessageW(edit, EM_SCROLLCARET, 0, 0);
    ::RedrawWindow(edit, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
  }
  if (way == L"hidden") {
    ::ShowWindow(edit, SW_SHOWNA);
    ::UpdateWindow(edit);
  }
  Pump();
  const double elapsed = Seconds() - start;
  const LRESULT held = ::SendMessageW(edit, EM_GETLINECOUNT, 0, 0) - 1;  // the empty last line
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
  std::printf("elapsed_ms %.1f\nlines %ld\npeak_ws_kib %.0f\n", elapsed * 1000,
              static_cast<long>(held), static_cast<double>(memory.PeakWorkingSetSize) / 1024);
  ::DestroyWindow(window);
  return 0;
}
