#include "platform/win32/shell.h"

#include "platform/win32/handles.h"

namespace kalvenor::win32 {
namespace {

HMODULE FromSystemDirectory(const wchar_t* name) {
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE Loaded(SystemDll dll) {
  // Each kept for the life of the process, like every DLL the program loads.
  switch (dll) {
    case SystemDll::Shell: {
      static const UniqueModule shell(FromSystemDirectory(L"shell32.dll"));
      return shell.get();
    }
    case SystemDll::RestartManager: {
      static const UniqueModule restartManager(FromSystemDirectory(L"rstrtmgr.dll"));
      return restartManager.get();
    }
  }
  return nullptr;
}

}  // namespace

void* SystemFunction(SystemDll dll, const char* name) {
  const HMODULE module = Loaded(dll);
  return module ? reinterpret_cast<void*>(::GetProcAddress(module, name)) : nullptr;
}

}  // namespace kalvenor::win32
