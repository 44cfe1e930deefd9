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

}  // namespace kalvenor::win32
