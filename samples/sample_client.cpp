// A program that uses sample_progid.dll without its registration: its own manifest (resource 1,
// RT_MANIFEST) depends on the private assembly client.components, whose manifest beside it
// describes the class. It makes an object by the class's CLSID, then by its ProgID. Its exit
// code: 0 when both are made, 1 when the ProgID names another class (as Wine 8 resolves a ProgID
// through an activation context), else the HRESULT of the first step that failed.
#include <objbase.h>

#include "sample_clsids.h"

namespace ids = kalvenor::sample;

namespace {

HRESULT Make(const CLSID& clsid) {
  IUnknown* object = nullptr;
  const HRESULT made = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                          reinterpret_cast<void**>(&object));
  if (object) object->Release();
  return made;
}

HRESULT MakeBoth() {
  if (const HRESULT made = Make(ids::kProgIdClsid); FAILED(made)) return made;
  CLSID named{};
  if (const HRESULT found = ::CLSIDFromProgID(ids::kProgId, &named); FAILED(found)) return found;
  if (!::IsEqualCLSID(named, ids::kProgIdClsid)) return S_FALSE;
  return Make(named);
}

}  // namespace

int wmain() {
  HRESULT result = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(result)) {
    result = MakeBoth();
    ::CoUninitialize();
  }
  return static_cast<int>(result);
}
