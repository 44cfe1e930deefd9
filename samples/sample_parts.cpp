// The sample variants that are built from more than one DLL, or lack an entry point: the
// component's own code calls into another DLL, so that the loader needs that DLL to load it.
#include <windows.h>

#ifdef SAMPLE_HELPER
extern "C" __declspec(dllexport) int SampleHelperValue() { return 42; }
#else
// From sample_sibling_helper.dll (sample_sibling) or from kalvenor_absent.dll, which exists
// nowhere (sample_missingdep).
extern "C" __declspec(dllimport) int SAMPLE_IMPORT();

extern "C" __declspec(dllexport) HRESULT __stdcall DllRegisterServer() {
  return SAMPLE_IMPORT() == 42 ? S_OK : E_FAIL;
}
extern "C" __declspec(dllexport) HRESULT __stdcall DllUnregisterServer() {
  return SAMPLE_IMPORT() == 42 ? S_OK : E_FAIL;
}
#endif
