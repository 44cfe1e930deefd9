// The control of the planting tests: a process that does what the program must never do. Copied
// into the planted folder, it loads each DLL named on its command line by the ordinary search,
// which looks in the process's own folder first.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  int missed = 0;
  for (int i = 1; i < argc; ++i) {
    if (!::LoadLibraryW(argv[i])) ++missed;
  }
  return missed;
}
