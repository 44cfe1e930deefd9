#pragma once
// The log of the floor programs: a bare window holding a multi-line edit control with the
// program's styles, and the program's way of appending to it.
#include <windows.h>

#include <string>

namespace floor_log {

inline void Pump() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

// The window, shown and painted, and its edit control; nullptr when either cannot be made.
inline HWND CreateLogWindow(const wchar_t* title, HWND* window) {
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = ::DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = L"KalvenorBenchLogFloor";
  ::RegisterClassExW(&windowClass);
  *window = ::CreateWindowExW(0, windowClass.lpszClassName, title,
                              WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN, 100, 100,
                              560, 380, nullptr, nullptr, instance, nullptr);
  if (!*window) return nullptr;
  const HWND edit =
      ::CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                        WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL |
                            ES_READONLY | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP,
                        10, 110, 420, 120, *window, nullptr, instance, nullptr);
  if (!edit) return nullptr;
  ::SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)),
                 FALSE);
  ::SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
  ::ShowWindow(*window, SW_SHOW);
  ::UpdateWindow(*window);
  return edit;
}

// As the program appends: caret to the end, replace the selection, caret to the end again,
// scroll the caret into view.
inline void Append(HWND edit, const std::wstring& text, bool scroll) {
  const int end = ::GetWindowTextLengthW(edit);
  ::SendMessageW(edit, EM_SETSEL, end, end);
  ::SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  const int after = ::GetWindowTextLengthW(edit);
  ::SendMessageW(edit, EM_SETSEL, after, after);
  if (scroll) ::SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

}  // namespace floor_log
