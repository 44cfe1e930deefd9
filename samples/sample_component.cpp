// A minimal in-process COM server used to exercise Kalvenor end to end. One source builds every
// variant; SAMPLE_BEHAVIOUR names a Behaviour enumerator and decides how registration behaves.
// The class identifier of each variant is listed in sample_clsids.h.
#include <windows.h>
// After windows.h, which it depends on.
#include <olectl.h>

#include <new>

#include "sample_clsids.h"

#ifndef SAMPLE_BEHAVIOUR
#error "SAMPLE_BEHAVIOUR must name the variant to build, e.g. SAMPLE_BEHAVIOUR=kNormal"
#endif

namespace {

enum class Behaviour {
  kNormal,
  kRegFail,
  kCrash,
  kMessageBox,
  kSlow,
  kSilent,
  kElsewhere,
  kProgId,
  kFactoryFail,
  kFactoryHang
};
constexpr Behaviour kBehaviour = Behaviour::SAMPLE_BEHAVIOUR;

namespace ids = kalvenor::sample;

constexpr const wchar_t* ClsidString() {
  switch (kBehaviour) {
    case Behaviour::kNormal: return ids::kNormalClsidString;
    case Behaviour::kRegFail: return ids::kRegFailClsidString;
    case Behaviour::kCrash: return ids::kCrashClsidString;
    case Behaviour::kMessageBox: return ids::kMessageBoxClsidString;
    case Behaviour::kSlow: return ids::kSlowClsidString;
    case Behaviour::kSilent: return ids::kSilentClsidString;
    case Behaviour::kElsewhere: return ids::kElsewhereClsidString;
    case Behaviour::kProgId: return ids::kProgIdClsidString;
    case Behaviour::kFactoryFail: return ids::kFactoryFailClsidString;
    case Behaviour::kFactoryHang: return ids::kFactoryHangClsidString;
  }
  return nullptr;
}

constexpr const GUID& Clsid() {
  switch (kBehaviour) {
    case Behaviour::kNormal: return ids::kNormalClsid;
    case Behaviour::kRegFail: return ids::kRegFailClsid;
    case Behaviour::kCrash: return ids::kCrashClsid;
    case Behaviour::kMessageBox: return ids::kMessageBoxClsid;
    case Behaviour::kSlow: return ids::kSlowClsid;
    case Behaviour::kSilent: return ids::kSilentClsid;
    case Behaviour::kElsewhere: return ids::kElsewhereClsid;
    case Behaviour::kProgId: return ids::kProgIdClsid;
    case Behaviour::kFactoryFail: return ids::kFactoryFailClsid;
    case Behaviour::kFactoryHang: return ids::kFactoryHangClsid;
  }
  return ids::kNormalClsid;
}

HMODULE g_module = nullptr;
// Live objects plus LockServer locks; the DLL may be unloaded only when both are zero.
LONG g_object_count = 0;
LONG g_lock_count = 0;

// The longest path Windows handles, terminator included.
constexpr DWORD kPathCapacity = 32768;

struct KeyPath {
  wchar_t text[sizeof(L"CLSID\\{00000000-0000-0000-0000-000000000000}") / sizeof(wchar_t)];
};

constexpr KeyPath MakeClsidKeyPath() {
  KeyPath path{};
  constexpr wchar_t kPrefix[] = L"CLSID\\";
  int length = 0;
  for (const wchar_t* c = kPrefix; *c != L'\0'; ++c) path.text[length++] = *c;
  for (const wchar_t* c = ClsidString(); *c != L'\0'; ++c) path.text[length++] = *c;
  return path;
}

// Relative to HKEY_CLASSES_ROOT.
constexpr KeyPath kClsidKey = MakeClsidKeyPath();

LONG SetString(HKEY key, const wchar_t* name, const wchar_t* value) {
  const DWORD bytes = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
}

// The string `name` of the subkey `subkey` of `key`, which is made where missing.
LONG SetKeyValue(HKEY key, const wchar_t* subkey, const wchar_t* name, const wchar_t* value) {
  const DWORD bytes = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t));
  return RegSetKeyValueW(key, subkey, name, REG_SZ, value, bytes);
}

LONG WriteRegistration(HKEY clsid_key, const wchar_t* own_path) {
  LONG status = SetString(clsid_key, nullptr, L"Kalvenor sample component");
  if (status != ERROR_SUCCESS) return status;
  HKEY server_key = nullptr;
  status = RegCreateKeyExW(clsid_key, L"InprocServer32", 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_SET_VALUE, nullptr, &server_key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = SetString(server_key, nullptr, own_path);
  if (status == ERROR_SUCCESS) status = SetString(server_key, L"ThreadingModel", L"Apartment");
  RegCloseKey(server_key);
  return status;
}

HRESULT Register() {
  wchar_t own_path[kPathCapacity];
  const DWORD length = GetModuleFileNameW(g_module, own_path, kPathCapacity);
  if (length == 0 || length >= kPathCapacity) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
  }
  HKEY clsid_key = nullptr;
  LONG status =
      RegCreateKeyExW(HKEY_CLASSES_ROOT, kClsidKey.text, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &clsid_key, nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  // The lying variant names a file that is not itself.
  status = WriteRegistration(clsid_key,
                             kBehaviour == Behaviour::kElsewhere ? ids::kElsewherePath : own_path);
  if (kBehaviour == Behaviour::kProgId && status == ERROR_SUCCESS) {
    status = SetKeyValue(clsid_key, L"ProgID", nullptr, ids::kProgId);
    if (status == ERROR_SUCCESS) {
      status = SetKeyValue(HKEY_CLASSES_ROOT, ids::kProgId, L"CLSID", ClsidString());
    }
  }
  RegCloseKey(clsid_key);
  if (status != ERROR_SUCCESS) {
    // Half a registration would point COM at a server that is not fully described.
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kClsidKey.text);
    return HRESULT_FROM_WIN32(status);
  }
  return S_OK;
}

HRESULT Unregister() {
  if (kBehaviour == Behaviour::kProgId) RegDeleteTreeW(HKEY_CLASSES_ROOT, ids::kProgId);
  const LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClsidKey.text);
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return S_OK;
  return HRESULT_FROM_WIN32(status);
}

// The object the factory makes: it only has an identity.
class SampleObject final : public IUnknown {
 public:
  SampleObject() { InterlockedIncrement(&g_object_count); }
  SampleObject(const SampleObject&) = delete;
  SampleObject& operator=(const SampleObject&) = delete;

  // From the process heap, so the DLL needs nothing of the C++ runtime's allocator.
  static void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return HeapAlloc(GetProcessHeap(), 0, size);
  }
  static void operator delete(void* memory) noexcept { HeapFree(GetProcessHeap(), 0, memory); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG remaining = InterlockedDecrement(&references_);
    if (remaining == 0) delete this;
    return static_cast<ULONG>(remaining);
  }

 private:
  ~SampleObject() { InterlockedDecrement(&g_object_count); }
  LONG references_ = 1;
};

// A single static factory; its references do not keep the DLL loaded, LockServer does.
class SampleFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if constexpr (kBehaviour == Behaviour::kFactoryFail) return E_NOTIMPL;
    if constexpr (kBehaviour == Behaviour::kFactoryHang) Sleep(INFINITE);
    SampleObject* created = new (std::nothrow) SampleObject;
    if (created == nullptr) return E_OUTOFMEMORY;
    // Dropping the creation reference destroys the object if the interface was not available.
    const HRESULT result = created->QueryInterface(riid, object);
    created->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&g_lock_count);
    } else {
      InterlockedDecrement(&g_lock_count);
    }
    return S_OK;
  }
};

SampleFactory g_factory;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllRegisterServer() {
  if constexpr (kBehaviour == Behaviour::kRegFail) return E_FAIL;
  if constexpr (kBehaviour == Behaviour::kCrash) {
    // Volatile on both levels: the compiler can neither see that the pointer is null nor drop the
    // store as unobserved (it did drop it when only the pointer was volatile).
    volatile int* volatile target = nullptr;
    *target = 1;
  }
  if constexpr (kBehaviour == Behaviour::kMessageBox) {
    MessageBoxW(nullptr, L"Kalvenor sample component: registering", L"Kalvenor sample",
                MB_OK | MB_ICONINFORMATION);
  }
  if constexpr (kBehaviour == Behaviour::kSlow) Sleep(2000);
  // Reports success and registers nothing.
  if constexpr (kBehaviour == Behaviour::kSilent) return S_OK;
  return Register();
}

STDAPI DllUnregisterServer() {
  if constexpr (kBehaviour == Behaviour::kRegFail) return E_FAIL;
  return Unregister();
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(rclsid, Clsid())) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, object);
}

STDAPI DllCanUnloadNow() { return (g_object_count == 0 && g_lock_count == 0) ? S_OK : S_FALSE; }
