# Shared steps of the project's commands: packages, builds, the Wine prefix and the display.
# Sourced, not run.

KALVENOR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PACKAGES=(cmake make g++ clang libclang-rt-14-dev mingw-w64 wine wine64 wine32:i386 xvfb googletest
  imagemagick)

log() { printf '\033[1m== %s\033[0m\n' "$*"; }

# Installs the Debian packages that are missing; only root can, others are told what to run.
install_packages() {
  local missing=()
  for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run as root, or: sudo dpkg --add-architecture i386 && sudo apt-get update &&" \
      "sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  log "Installing ${missing[*]}"
  dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# build_windows x86|x64: the program, the sample components and the end-to-end tests.
build_windows() {
  local arch=$1 toolchain
  case $arch in
    x86) toolchain=mingw-i686.cmake ;;
    x64) toolchain=mingw-x86_64.cmake ;;
  esac
  log "Building the $arch program"
  cmake -S "$KALVENOR_ROOT" -B "$KALVENOR_ROOT/build/$arch" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$KALVENOR_ROOT/cmake/$toolchain" >/dev/null
  cmake --build "$KALVENOR_ROOT/build/$arch" -j2
}

build_native() {
  log "Building the unit tests"
  cmake -S "$KALVENOR_ROOT" -B "$KALVENOR_ROOT/build/native" -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$KALVENOR_ROOT/build/native" -j2
}

build_fuzz() {
  log "Building the fuzz targets"
  CC=clang CXX=clang++ cmake -S "$KALVENOR_ROOT" -B "$KALVENOR_ROOT/build/fuzz" \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$KALVENOR_ROOT/build/fuzz" -j2 --target fuzz_paths fuzz_version fuzz_runs
}

# start_display: a virtual X display of our own, ended by stop_display.
start_display() {
  local fifo
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  XVFB_PID=$!
  read -r display <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$display"
}

stop_display() {
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null || true
}

# ensure_prefix DIR: a 64-bit Wine prefix that shows no crash dialogs, created once.
ensure_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=-all
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "Creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    # A crashing child would otherwise wait behind the debugger's dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >/dev/null 2>&1
    wineserver -w
  fi
}

stop_wine() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
}

# stage ARCH: the program with the sample component in a folder of its own.
stage() {
  local arch=$1 folder="$KALVENOR_ROOT/build/stage-$1"
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$KALVENOR_ROOT/build/$arch/src/kalvenor.exe" \
    "$KALVENOR_ROOT/build/$arch/samples/kalvenor_sample.dll" "$folder/"
  echo "$folder"
}

# map_small_drive: a 1 MiB file system of its own, mapped in the prefix as drive K: for the tests
# of a nearly full system directory; KALVENOR_SMALL_DRIVE names it. Only root may mount: anyone
# else runs without it, and those tests say why they skip. Ended by unmap_small_drive.
map_small_drive() {
  SMALL_DRIVE="$KALVENOR_ROOT/build/small-drive"
  mkdir -p "$SMALL_DRIVE"
  mountpoint -q "$SMALL_DRIVE" || umount "$SMALL_DRIVE" 2>/dev/null || true
  if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=1m kalvenor-small "$SMALL_DRIVE" 2>/dev/null; then
    ln -sfn "$SMALL_DRIVE" "$WINEPREFIX/dosdevices/k:"
    export KALVENOR_SMALL_DRIVE=K:
  else
    log "Cannot mount a small file system here: the full-drive tests will be skipped"
  fi
}

unmap_small_drive() {
  [ -n "${WINEPREFIX:-}" ] && rm -f "$WINEPREFIX/dosdevices/k:"
  [ -n "${SMALL_DRIVE:-}" ] && mountpoint -q "$SMALL_DRIVE" && umount "$SMALL_DRIVE" || true
}
