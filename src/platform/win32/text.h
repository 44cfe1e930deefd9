#pragma once
// UTF-8 inside the program, UTF-16 at the Win32 boundary; and the system's wording of errors.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/types.h"

namespace kalvenor::win32 {

std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);

// The system's message for `code`, without its line break.
platform::SystemError ErrorOf(DWORD code);
inline platform::SystemError LastError() { return ErrorOf(::GetLastError()); }

// Calls `get(buffer, size)` with a growing buffer until the whole text fits; for the Win32
// calls that return the length they need (or wrote) in characters, 0 for a failure.
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

// The program's own file.
std::wstring ModulePath();

}  // namespace kalvenor::win32
