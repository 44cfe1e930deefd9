// The capture helper: calls a component's DllRegisterServer with HKEY_CLASSES_ROOT,
// HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS redirected to subkeys of a private key
// that the program made for it, and notes in that key how far it came, so that the program
// learns it even when the component crashes or hangs. The redirection is set before the
// component is loaded and never undone: the helper ends itself once it noted the result, so that
// no code of the component (DllMain, static objects, threads it left) runs without it. Built for
// each bitness with no C or C++ runtime: the program carries both in its resources, and each costs
// it a few KiB. With `activate`, it creates each class named after it instead, as a client does,
// and notes each one's HRESULT in the key under the class's name.
//   capture-x86.exe|capture-x64.exe "<private key below HKEY_CURRENT_USER>" "<component>"
//   capture-x86.exe|capture-x64.exe "<private key below HKEY_CURRENT_USER>" activate {CLSID} ...
#include <windows.h>
// After windows.h, which it depends on.
#include <ole2.h>

#include "platform/capture.h"
#include "platform/win32/handles.h"

namespace kalvenor::capture_host {
namespace {

using platform::CaptureStage;
using win32::UniqueKey;

// The next word of the command line, one in quotes running to the closing quote (the program
// quotes each: a path holds no quote). Ends the word in place and moves `cursor` past it.
wchar_t* NextWord(wchar_t*& cursor) {
  while (*cursor == L' ' || *cursor == L'\t') ++cursor;
  if (*cursor == L'\0') return nullptr;
  const bool quoted = *cursor == L'"';
  if (quoted) ++cursor;
  wchar_t* word = cursor;
  while (*cursor != L'\0' && (quoted ? *cursor != L'"' : *cursor != L' ' && *cursor != L'\t')) {
    ++cursor;
  }
  if (*cursor != L'\0') *cursor++ = L'\0';
  return word;
}

void Write(HKEY key, const wchar_t* name, DWORD value) {
  ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void Reach(HKEY key, CaptureStage stage) { Write(key, L"Stage", static_cast<DWORD>(stage)); }

// The stage that ended the capture and its result, which is also the helper's exit code.
HRESULT End(HKEY key, CaptureStage stage, HRESULT result) {
  Write(key, L"Result", static_cast<DWORD>(result));
  Reach(key, stage);
  return result;
}

HRESULT FromStatus(LSTATUS status) { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

// COM for the classes an activation creates, as clients have it.
class OleScope {
 public:
  OleScope() : result_(::OleInitialize(nullptr)) {}
  OleScope(const OleScope&) = delete;
  OleScope& operator=(const OleScope&) = delete;
  ~OleScope() {
    if (SUCCEEDED(result_)) ::OleUninitialize();
  }

 private:
  HRESULT result_;
};

constexpr int kRedirections = 4;
constexpr const wchar_t* kRedirectedNames[kRedirections] = {L"HKCR", L"HKLM", L"HKCU", L"HKU"};

// Each redirected key: no constant, as the predefined handles are integers cast to pointers.
HKEY Predefined(int index) {
  switch (index) {
    case 0: return HKEY_CLASSES_ROOT;
    case 1: return HKEY_LOCAL_MACHINE;
    case 2: return HKEY_CURRENT_USER;
    default: return HKEY_USERS;
  }
}

// The full name of an open key in the system's namespace (\REGISTRY\USER\...): what tells
// two keys apart whatever handle or predefined key reached them.
extern "C" LONG NTAPI NtQueryKey(HANDLE key, int informationClass, void* information, ULONG length,
                                 ULONG* written);
constexpr int kKeyNameInformation = 3;
struct KeyName {
  ULONG bytes;
  wchar_t name[512];
};

bool SameKey(HKEY opened, const KeyName& expected) {
  KeyName name{};
  ULONG written = 0;
  return NtQueryKey(opened, kKeyNameInformation, &name, sizeof name, &written) >= 0 &&
         name.bytes == expected.bytes &&
         ::CompareStringOrdinal(name.name, static_cast<int>(name.bytes / sizeof(wchar_t)),
                                expected.name, static_cast<int>(expected.bytes / sizeof(wchar_t)),
                                TRUE) == CSTR_EQUAL;
}

// The first predefined key that no longer leads to its redirection (the component undid or
// changed it); -1 when each still does. Each is proved by a subkey made in the redirection
// under a name no component can know (`probe`), opened again through the predefined key and
// named as the system names it: a predefined key opened with no subkey is its own handle,
// which names nothing.
int FirstUnredirected(const wchar_t* probe, const KeyName (&names)[kRedirections]) {
  for (int i = 0; i < kRedirections; ++i) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(Predefined(i), probe, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
      return i;
    }
    const UniqueKey owned(opened);
    if (!SameKey(opened, names[i])) return i;
  }
  return -1;
}

using RegisterServer = HRESULT(STDAPICALLTYPE*)();

// Per-user registration of type libraries, where the system has it (Wine 8 has not): without
// it, a component's type library goes to HKLM whatever HKEY_CLASSES_ROOT is redirected to. The
// setting lives in oleaut32.dll, which stays loaded with it.
void EnablePerUserTypeLibraries() {
  const HMODULE automation =
      ::LoadLibraryExW(L"oleaut32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  using Enable = void(WINAPI*)();
  // Through void*: FARPROC has no parameters, which the compiler flags as a mismatch.
  if (auto enable = reinterpret_cast<Enable>(reinterpret_cast<void*>(
          ::GetProcAddress(automation, "OaEnablePerUserTLibRegistration")))) {
    enable();
  }
}

HRESULT Capture(HKEY own, const HKEY (&redirected)[kRedirections], const wchar_t* component) {
  Reach(own, CaptureStage::Started);
  // As the registration tool does, for components that use COM while they register. Neither
  // undone nor unloaded: the helper ends with no more of the component's code run.
  ::OleInitialize(nullptr);
  EnablePerUserTypeLibraries();
  wchar_t probe[40];
  GUID unique;
  if (FAILED(::CoCreateGuid(&unique)) || !::StringFromGUID2(unique, probe, 40)) {
    return End(own, CaptureStage::Started, E_UNEXPECTED);
  }
  KeyName names[kRedirections];
  for (int i = 0; i < kRedirections; ++i) {
    HKEY made = nullptr;
    if (const LSTATUS status =
            ::RegCreateKeyExW(redirected[i], probe, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_QUERY_VALUE, nullptr, &made, nullptr);
        status != ERROR_SUCCESS) {
      return End(own, CaptureStage::Started, FromStatus(status));
    }
    const UniqueKey madeOwned(made);
    ULONG written = 0;
    if (NtQueryKey(made, kKeyNameInformation, &names[i], sizeof names[i], &written) < 0) {
      return End(own, CaptureStage::Started, E_UNEXPECTED);
    }
    // Not undone: the component's code, from its DllMain on, never runs unredirected.
    if (const LSTATUS status = ::RegOverridePredefKey(Predefined(i), redirected[i]);
        status != ERROR_SUCCESS) {
      return End(own, CaptureStage::Started, FromStatus(status));
    }
  }
  Reach(own, CaptureStage::Redirected);
  const HMODULE module = ::LoadLibraryExW(component, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return End(own, CaptureStage::Redirected, HRESULT_FROM_WIN32(::GetLastError()));
  Reach(own, CaptureStage::Loaded);
  const auto entry = reinterpret_cast<RegisterServer>(
      reinterpret_cast<void*>(::GetProcAddress(module, "DllRegisterServer")));
  if (!entry) return End(own, CaptureStage::Loaded, HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
  Reach(own, CaptureStage::Registering);
  const HRESULT result = entry();
  if (const int escaped = FirstUnredirected(probe, names); escaped >= 0) {
    Write(own, L"Unredirected", static_cast<DWORD>(escaped));
  }
  for (const HKEY key : redirected) ::RegDeleteKeyW(key, probe);
  return End(own, CaptureStage::Returned, result);
}

// Each class in turn, from the registry of this bitness, as clients create them: its factory
// first, then an object of it, as CoCreateInstance does, so that a class whose factory refuses a
// client without a license key is still known to be served. A hang or a crash leaves the classes
// before it noted, and the one it was creating without a result.
HRESULT Activate(HKEY own, wchar_t* cursor) {
  Reach(own, CaptureStage::Started);
  const OleScope ole;
  Reach(own, CaptureStage::Registering);
  while (wchar_t* word = NextWord(cursor)) {
    CLSID clsid;
    HRESULT result = ::CLSIDFromString(word, &clsid);
    IClassFactory* factory = nullptr;
    if (SUCCEEDED(result)) {
      result = ::CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    }
    if (factory) {
      // "<CLSID> factory": a value beside the class's own, which no CLSID's name can be.
      wchar_t reached[64];
      ::lstrcpynW(reached, word, 48);
      ::lstrcatW(reached, L" factory");
      Write(own, reached, 1);
      IUnknown* created = nullptr;
      result = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&created));
      if (created) created->Release();
      factory->Release();
    }
    Write(own, word, static_cast<DWORD>(result));
  }
  return End(own, CaptureStage::Returned, S_OK);
}

// A crash ends the helper with the exception's code, before any debugger is asked to come.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

HRESULT Run() {
  // A component that fails to load or crashes ends the helper, with no box waiting for a user.
  // Wine starts its debugger whatever the error mode says: the filter keeps it away.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  ::SetUnhandledExceptionFilter(&EndOnCrash);
  wchar_t* cursor = ::GetCommandLineW();
  NextWord(cursor);  // the helper itself
  const wchar_t* keyPath = NextWord(cursor);
  const wchar_t* component = NextWord(cursor);
  if (!keyPath || !component) return E_INVALIDARG;
  const bool activate = ::lstrcmpW(component, L"activate") == 0;
  if (!activate && NextWord(cursor)) return E_INVALIDARG;
  HKEY opened = nullptr;
  LSTATUS status =
      ::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &opened);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  const UniqueKey own(opened);
  if (activate) return Activate(own.get(), cursor);
  // Opened before the redirection, so that they name the private key's own subkeys.
  UniqueKey owned[kRedirections];
  HKEY redirected[kRedirections];
  for (int i = 0; i < kRedirections; ++i) {
    status = ::RegCreateKeyExW(own.get(), kRedirectedNames[i], 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &redirected[i], nullptr);
    if (status != ERROR_SUCCESS) return End(own.get(), CaptureStage::Started, FromStatus(status));
    owned[i].reset(redirected[i]);
  }
  return Capture(own.get(), redirected, component);
}

}  // namespace
}  // namespace kalvenor::capture_host

// The entry point the linker looks for in a windows program; there is no runtime to start.
// TerminateProcess rather than ExitProcess: no DLL of the component is told the process ends,
// so none of its code runs once the result is noted.
extern "C" void WinMainCRTStartup() {
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(kalvenor::capture_host::Run()));
}
