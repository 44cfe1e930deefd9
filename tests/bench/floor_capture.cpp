// The capture floor: the least a capture that keeps each component apart does, with no export.
//   floor_capture <folder>
// For each .dll and .ocx of the folder, in name order: makes a private key below
// HKEY_CURRENT_USER\Software, starts itself on it in a process of its own (a component that
// crashes or hangs takes only that process with it), which redirects HKEY_CLASSES_ROOT,
// HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS to subkeys of the private key, then loads
// the component and calls DllRegisterServer, as the program's helper does (a component that
// writes as it loads writes there too); once it has ended, reads back every value below the key,
// then deletes it. Prints "elapsed_ms", "files", "failures" and "values" (read back under the
// first three, which the exports carry, over all the components).
//   floor_capture /one "<private key>" "<component>"   the process of one component
#include <windows.h>
// After windows.h, which it depends on.
#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/handles.h"

namespace {

using Key = kalvenor::win32::UniqueKey;
using Handle = kalvenor::win32::UniqueHandle;
using Module = kalvenor::win32::UniqueModule;
using Search = kalvenor::win32::UniqueFind;

constexpr const wchar_t* kNames[] = {L"HKCR", L"HKLM", L"HKCU", L"HKU"};
const HKEY kPredefined[] = {HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS};
constexpr int kRedirected = 4;
constexpr int kExported = 3;  // HKEY_USERS is read back, and no export carries it

double Seconds() {
  LARGE_INTEGER counter{}, frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The process of one component: its exit code is DllRegisterServer's result.
HRESULT RegisterOne(const wchar_t* keyPath, const wchar_t* component) {
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_CREATE_SUB_KEY, &opened) != 0) {
    return E_FAIL;
  }
  const Key own(opened);
  Key redirected[kRedirected];
  for (int i = 0; i < kRedirected; ++i) {
    HKEY created = nullptr;
    if (::RegCreateKeyExW(own.get(), kNames[i], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created,
                          nullptr) != 0) {
      return E_FAIL;
    }
    redirected[i].reset(created);
  }
  const HRESULT ole = ::OleInitialize(nullptr);  // as the registration tool does
  for (int i = 0; i < kRedirected; ++i) ::RegOverridePredefKey(kPredefined[i], redirected[i].get());
  HRESULT result = E_FAIL;
  {
    const Module module(::LoadLibraryExW(component, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    using RegisterServer = HRESULT(STDAPICALLTYPE*)();
    const auto entry = module ? reinterpret_cast<RegisterServer>(reinterpret_cast<void*>(
                                    ::GetProcAddress(module.get(), "DllRegisterServer")))
                              : nullptr;
    if (entry) result = entry();
  }
  for (HKEY predefined : kPredefined) ::RegOverridePredefKey(predefined, nullptr);
  if (SUCCEEDED(ole)) ::OleUninitialize();
  return result;
}

// The values below `key`, each read with its data, counted.
std::size_t ReadBack(HKEY key) {
  DWORD subkeys = 0, longestName = 0, values = 0, longestValueName = 0, longestData = 0;
  if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestName, nullptr, &values,
                         &longestValueName, &longestData, nullptr, nullptr) != 0) {
    return 0;
  }
  std::vector<wchar_t> name(std::max(longestName, longestValueName) + 1);
  std::vector<BYTE> data(longestData + 2);
  std::size_t count = 0;
  for (DWORD i = 0; i < values; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size()), type = 0,
          dataSize = static_cast<DWORD>(data.size());
    if (::RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize) ==
        0) {
      ++count;
    }
  }
  for (DWORD i = 0; i < subkeys; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    if (::RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        0) {
      continue;
    }
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(key, name.data(), 0, KEY_READ, &opened) == 0) {
      count += ReadBack(Key(opened).get());
    }
  }
  return count;
}

// One component in a process of its own; false when it did not register.
bool CaptureOne(const std::wstring& self, const std::wstring& component, int number,
                std::size_t& values) {
  const std::wstring path = L"Software\\Kalvenor floor capture " +
                            std::to_wstring(::GetCurrentProcessId()) + L"." +
                            std::to_wstring(number);
  HKEY created = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &created, nullptr) != 0) {
    return false;
  }
  bool registered = false;
  {
    const Key key(created);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    std::wstring commandLine = L"\"" + self + L"\" /one \"" + path + L"\" \"" + component + L"\"";
    if (::CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         nullptr, &startup, &started)) {
      const Handle process(started.hProcess), thread(started.hThread);
      ::WaitForSingleObject(process.get(), INFINITE);
      DWORD code = 1;
      registered = ::GetExitCodeProcess(process.get(), &code) && code == 0;
      for (int i = 0; i < kRedirected; ++i) {
        HKEY below = nullptr;
        if (::RegOpenKeyExW(key.get(), kNames[i], 0, KEY_READ, &below) != 0) continue;
        const std::size_t read = ReadBack(Key(below).get());
        if (i < kExported) values += read;
      }
    }
  }
  ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
  return registered;
}

std::vector<std::wstring> Components(const std::wstring& folder) {
  std::vector<std::wstring> names;
  for (const wchar_t* pattern : {L"\\*.dll", L"\\*.ocx"}) {
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileExW((folder + pattern).c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) continue;
    const Search closes(search);
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        names.push_back(folder + L"\\" + found.cFileName);
      }
    } while (::FindNextFileW(search, &found));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

// A windows program, as the program's helper is: no console to set up for each component. Its
// figures go to the standard output it was handed.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const int argc = __argc;
  wchar_t** argv = __wargv;
  if (argc == 4 && std::wstring(argv[1]) == L"/one") {
    return static_cast<int>(RegisterOne(argv[2], argv[3]));
  }
  if (argc != 2) return 2;
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::vector<std::wstring> components = Components(argv[1]);
  const double start = Seconds();
  int failures = 0, number = 0;
  std::size_t values = 0;
  for (const std::wstring& component : components) {
    if (!CaptureOne(self, component, ++number, values)) ++failures;
  }
  char figures[160];
  const int length = std::snprintf(figures, sizeof figures,
                                   "elapsed_ms %.1f\nfiles %zu\nfailures %d\nvalues %zu\n",
                                   (Seconds() - start) * 1000, components.size(), failures, values);
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), figures, static_cast<DWORD>(length), &written,
              nullptr);
  return failures == 0 ? 0 : 1;
}
