// A DLL that is no self-registering component: it exports neither registration entry point.
#include <windows.h>

extern "C" __declspec(dllexport) int SampleNoEntryValue() { return 7; }
