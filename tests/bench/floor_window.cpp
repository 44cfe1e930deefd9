// The start-up floors: the least a Win32 program with a window does before it waits for input.
// It registers a class, creates and shows a window and runs its message loop; nothing else.
// Built with FLOOR_CONTROLS (and the program's common controls manifest), the window also holds
// the standard controls the Setup window holds, themed: what Wine takes for those alone.
#include <windows.h>

namespace {

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = Procedure;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = L"KalvenorBenchFloor";
  if (!::RegisterClassExW(&windowClass)) return 1;
  HWND window =
      ::CreateWindowExW(0, windowClass.lpszClassName, L"Floor", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, 480, 360, nullptr, nullptr, instance, nullptr);
  if (!window) return 2;
#ifdef FLOOR_CONTROLS
  // Eight buttons, a list box, an edit control and twelve static controls, in a grid.
  const wchar_t* const classes[] = {
      L"BUTTON",  L"BUTTON", L"BUTTON", L"BUTTON", L"BUTTON", L"BUTTON", L"BUTTON", L"BUTTON",
      L"LISTBOX", L"EDIT",   L"STATIC", L"STATIC", L"STATIC", L"STATIC", L"STATIC", L"STATIC",
      L"STATIC",  L"STATIC", L"STATIC", L"STATIC", L"STATIC", L"STATIC"};
  int cell = 0;
  for (const wchar_t* className : classes) {
    ::CreateWindowExW(0, className, L"Control", WS_CHILD | WS_VISIBLE, 10 + (cell % 5) * 90,
                      10 + (cell / 5) * 30, 80, 24, window, nullptr, instance, nullptr);
    ++cell;
  }
#endif
  ::ShowWindow(window, show);
  ::UpdateWindow(window);
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}
