#pragma once
// The shell's functions, taken from the system directory's shell32.dll on first use. Not an
// import: the program's folder is searched before the system directory for DLLs it imports,
// and a shell32.dll lying there would load into the program.

#include <windows.h>

namespace kalvenor::win32 {

// The function `name` of shell32.dll, or nothing when the DLL or the function is missing.
void* ShellFunction(const char* name);

template <class Function>
Function* Shell(const char* name) {
  // Through void*: FARPROC has no parameters, which the compiler flags as a mismatch.
  return reinterpret_cast<Function*>(ShellFunction(name));
}

}  // namespace kalvenor::win32
