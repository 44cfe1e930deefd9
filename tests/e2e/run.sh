#!/usr/bin/env bash
# Runs the end-to-end tests of one build directory under Wine and exits with their code.
#   tests/e2e/run.sh <build-dir> [GoogleTest options]
# Needs WINEPREFIX (an initialised prefix) and DISPLAY (e.g. Xvfb). KALVENOR_GTEST_XML, if set,
# is where the XML report goes.
set -euo pipefail
build=$(cd "${1:?usage: run.sh <build-dir> [GoogleTest options]}" && pwd)
shift
: "${WINEPREFIX:?set WINEPREFIX to an initialised Wine prefix}"
: "${DISPLAY:?set DISPLAY to an X server, e.g. Xvfb}"
export WINEPREFIX WINEDEBUG=${KALVENOR_WINEDEBUG:--all}
KALVENOR_EXE=$(winepath -w "$build/src/kalvenor.exe")
KALVENOR_SAMPLES=$(winepath -w "$build/samples")
export KALVENOR_EXE KALVENOR_SAMPLES
# Components no one here wrote, of both bitnesses: Wine's own COM servers and the folder of
# MinGW's C++ runtime DLLs (the posix variant's, the newest when there are several).
mingw_runtime() {
  local found
  found=$(ls -d /usr/lib/gcc/"$1"-w64-mingw32/*-posix 2>/dev/null | sort -V | tail -n 1)
  [ -n "$found" ] && winepath -w "$found"
}
KALVENOR_WINE_DLLS_X86=$(winepath -w /usr/lib/i386-linux-gnu/wine/i386-windows)
KALVENOR_WINE_DLLS_X64=$(winepath -w /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
KALVENOR_MINGW_X86=$(mingw_runtime i686 || true)
KALVENOR_MINGW_X64=$(mingw_runtime x86_64 || true)
export KALVENOR_WINE_DLLS_X86 KALVENOR_WINE_DLLS_X64 KALVENOR_MINGW_X86 KALVENOR_MINGW_X64
# Where the tests leave the JSON lines of unattended runs, for the test command to parse.
if [ -n "${KALVENOR_JSON_DIR:-}" ]; then
  mkdir -p "$KALVENOR_JSON_DIR"
  KALVENOR_JSON_DIR=$(winepath -w "$KALVENOR_JSON_DIR")
  export KALVENOR_JSON_DIR
fi
if [ -n "${KALVENOR_GTEST_XML:-}" ]; then
  set -- "--gtest_output=xml:$(winepath -w "$KALVENOR_GTEST_XML")" "$@"
fi
# With no window manager on the display, Wine waits 2 s for one whenever a managed window is
# hidden or closed; unmanaged windows are placed and focused by Wine alone, without that wait.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null
exec wine "$build/tests/e2e/e2e_tests.exe" "$@"
