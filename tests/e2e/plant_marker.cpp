// A DLL that only tells that it was loaded: copied under the name of a system library into the
// program's folder, it leaves "<its own file name>.loaded" beside itself in every process that
// loads it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 8] = {};
  const DWORD length = ::GetModuleFileNameW(instance, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  ::lstrcpyW(path + length, L".loaded");
  HANDLE marker =
      ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
  return TRUE;
}
