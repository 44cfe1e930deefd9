#pragma once
// Functions of system DLLs the program does not import, taken from the system directory on first
// use. Not imports: the program's folder is searched before the system directory for DLLs it
// imports, and a shell32.dll or rstrtmgr.dll lying there would load into the program.

#include <windows.h>

namespace kalvenor::win32 {

enum class SystemDll { Shell, RestartManager };

// The function `name` of `dll`, or nothing when the DLL or the function is missing.
void* SystemFunction(SystemDll dll, const char* name);

template <class Function>
Function* SystemFunction(SystemDll dll, const char* name) {
  // Through void*: FARPROC has no parameters, which the compiler flags as a mismatch.
  return reinterpret_cast<Function*>(SystemFunction(dll, name));
}

// shell32.dll's function `name`.
template <class Function>
Function* Shell(const char* name) {
  return SystemFunction<Function>(SystemDll::Shell, name);
}

// rstrtmgr.dll's function `name`.
template <class Function>
Function* RestartManager(const char* name) {
  return SystemFunction<Function>(SystemDll::RestartManager, name);
}

}  // namespace kalvenor::win32
