#include "platform/win32/shell.h"

#include "platform/win32/handles.h"

namespace kalvenor::win32 {

void* ShellFunction(const char* name) {
  // Kept for the life of the process, like every DLL the program loads.
  static const UniqueModule shell(
      ::LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  return shell ? reinterpret_cast<void*>(::GetProcAddress(shell.get(), name)) : nullptr;
}

}  // namespace kalvenor::win32
