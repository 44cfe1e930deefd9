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
if [ -n "${KALVENOR_GTEST_XML:-}" ]; then
  set -- "--gtest_output=xml:$(winepath -w "$KALVENOR_GTEST_XML")" "$@"
fi
# With no window manager on the display, Wine waits 2 s for one whenever a managed window is
# hidden or closed; unmanaged windows are placed and focused by Wine alone, without that wait.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null
exec wine "$build/tests/e2e/e2e_tests.exe" "$@"
