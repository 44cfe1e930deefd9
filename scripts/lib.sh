# Shared steps of the project's commands: packages, builds, the Wine prefix and the display.
# Sourced, not run.

KALVENOR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PACKAGES=(cmake make g++ clang libclang-rt-14-dev mingw-w64 mingw-w64-tools wine wine64 wine32:i386
  xvfb googletest imagemagick python3 zlib1g-dev wixl msitools libxml2-utils)

log() { printf '\033[1m== %s\033[0m\n' "$*"; }

# Stops the script with one sentence on what failed.
fail() {
  printf 'Failed: %s\n' "$*" >&2
  exit 1
}

# detect_wine: finds out once whether 32-bit Windows programs can run here, which needs Wine's
# 32-bit loader, a 32-bit Linux program. Where they cannot, every Wine tool runs through the
# 64-bit loader (scripts/wine64 first on PATH) and WINE_32BIT_REASON says why in one sentence.
# KALVENOR_WINE64_ONLY=1 takes that path on any machine.
detect_wine() {
  [ -n "${WINE_32BIT:-}" ] && return 0
  local loader=/usr/lib/wine/wine said
  WINE_32BIT=0
  if [ "${KALVENOR_WINE64_ONLY:-0}" = 1 ]; then
    WINE_32BIT_REASON="KALVENOR_WINE64_ONLY=1 is set, so Wine runs 64-bit programs only"
  elif [ ! -e "$loader" ]; then
    WINE_32BIT_REASON=${WINE32_NOT_INSTALLED:-"Wine's 32-bit loader $loader is not installed"}
  elif said=$("$loader" --version 2>&1); then
    WINE_32BIT=1 WINE_32BIT_REASON=
  elif [[ $said == *"Exec format error"* ]]; then
    WINE_32BIT_REASON="this machine cannot run 32-bit programs: Wine's 32-bit loader fails with"
    WINE_32BIT_REASON+=" \"Exec format error\", as the kernel runs 64-bit code only"
    WINE_32BIT_REASON+=" (dmesg: \"IA-32 emulation off\")"
  else
    WINE_32BIT_REASON="Wine's 32-bit loader does not start: ${said%%$'\n'*}"
  fi
  if [ "$WINE_32BIT" = 0 ]; then
    export PATH="$KALVENOR_ROOT/scripts/wine64:$PATH" WINELOADER=/usr/lib/wine/wine64
  fi
  export WINE_32BIT WINE_32BIT_REASON
}

# The builds whose programs Wine can run here, the default one first.
runnable_builds() {
  detect_wine
  if [ "$WINE_32BIT" = 1 ]; then echo x86 x64; else echo x64; fi
}

# apt_update: apt-get update, tried a few times a short while apart: while a mirror syncs, an
# index can come with the wrong size ("File has unexpected size ... Mirror sync in progress?")
# and the command exits 100. When it still fails, APT_UPDATE_ERROR holds its first error line.
apt_update() {
  local attempt said pause=${KALVENOR_APT_PAUSE:-10}
  for attempt in 1 2 3; do
    if said=$(apt-get update -qq 2>&1); then
      APT_UPDATE_ERROR=
      return 0
    fi
    APT_UPDATE_ERROR=$(printf '%s\n' "$said" | grep -m 1 '^E:' || printf '%s\n' "$said" | tail -n 1)
    if [ "$attempt" -lt 3 ]; then
      log "apt-get update failed ($APT_UPDATE_ERROR): trying again in $pause s"
      sleep "$pause"
    fi
  done
  return 1
}

# Installs the Debian packages that are missing; only root can, others are told what to run.
# Where wine32:i386 alone cannot be installed (the i386 index out of step with the others on a
# mirror's bad day), the rest is installed, and detect_wine takes the 64-bit-only path, saying
# why through WINE32_NOT_INSTALLED.
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
  apt_update || echo "apt-get update still fails, the indexes it has are used: $APT_UPDATE_ERROR" >&2
  local refused said others=()
  refused=$(DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" 2>&1 >/dev/null) &&
    return 0
  for package in "${missing[@]}"; do
    [ "$package" = wine32:i386 ] || others+=("$package")
  done
  [ ${#others[@]} -lt ${#missing[@]} ] || fail "apt-get could not install ${missing[*]}: $refused"
  if [ ${#others[@]} -gt 0 ]; then
    log "Installing ${others[*]} without wine32:i386"
    said=$(DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${others[@]}" 2>&1 >/dev/null) ||
      fail "apt-get could not install ${others[*]}: $said"
  fi
  if [ -n "${APT_UPDATE_ERROR:-}" ]; then
    WINE32_NOT_INSTALLED="wine32:i386 could not be installed, as apt-get update could not fetch"
    WINE32_NOT_INSTALLED+=" a package index ($APT_UPDATE_ERROR)"
  else
    WINE32_NOT_INSTALLED="wine32:i386 could not be installed ($(printf '%s\n' "$refused" |
      grep -m 1 '^E:' || echo "apt-get install failed"))"
  fi
  echo "Wine runs 64-bit programs only here, and the x86 end-to-end suite is skipped:" \
    "$WINE32_NOT_INSTALLED." >&2
  export WINE32_NOT_INSTALLED
}

# build_windows x86|x64 [DIR [CMAKE-OPTIONS...]]: the program, the sample components and, unless
# the options turn them off, the end-to-end tests; in build/x86 or build/x64 by default.
build_windows() {
  local arch=$1 toolchain
  local dir=${2:-$KALVENOR_ROOT/build/$arch}
  shift $(($# < 2 ? $# : 2))
  case $arch in
    x86) toolchain=mingw-i686.cmake ;;
    x64) toolchain=mingw-x86_64.cmake ;;
  esac
  log "Building the $arch program in ${dir#"$KALVENOR_ROOT/"}"
  cmake -S "$KALVENOR_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$KALVENOR_ROOT/cmake/$toolchain" "$@" >/dev/null
  # shellcheck disable=SC2086 # BUILD_TARGETS, when set, is a list of words
  cmake --build "$dir" -j2 ${BUILD_TARGETS:+--target $BUILD_TARGETS}
}

# Loaded from the system directory whatever the search order: the only DLLs the program may
# import, as it sits in a folder full of DLLs by design. API sets are no files at all.
KNOWN_SYSTEM_DLLS="advapi32.dll combase.dll comdlg32.dll gdi32.dll imagehlp.dll imm32.dll
  kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll psapi.dll
  rpcrt4.dll sechost.dll setupapi.dll shcore.dll shell32.dll shlwapi.dll user32.dll wldap32.dll
  ws2_32.dll ntdll.dll"

# check_imports EXE: prints what is wrong with the DLLs the program imports; quiet when nothing.
check_imports() {
  local name names others=()
  names=$(x86_64-w64-mingw32-objdump -p "$1" 2>/dev/null | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr '[:upper:]\n' '[:lower:] ')
  if [[ " $names " != *" kernel32.dll "* ]]; then
    echo "$1: no import table read"
    return 1
  fi
  for name in $names; do
    [[ " $(echo $KNOWN_SYSTEM_DLLS) " == *" $name "* || $name == api-ms-win-* ]] || others+=("$name")
  done
  [ ${#others[@]} -eq 0 ] || echo "$1 imports DLLs that are not known system DLLs: ${others[*]}"
  [ ${#others[@]} -eq 0 ]
}

build_native() {
  log "Building the unit tests"
  cmake -S "$KALVENOR_ROOT" -B "$KALVENOR_ROOT/build/native" -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$KALVENOR_ROOT/build/native" -j2
}

FUZZ_TARGETS="fuzz_paths fuzz_version fuzz_runs fuzz_type_library fuzz_pe_image"

build_fuzz() {
  log "Building the fuzz targets"
  CC=clang CXX=clang++ cmake -S "$KALVENOR_ROOT" -B "$KALVENOR_ROOT/build/fuzz" \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
  # shellcheck disable=SC2086 # a list of words
  cmake --build "$KALVENOR_ROOT/build/fuzz" -j2 --target $FUZZ_TARGETS
}

# start_display: a virtual X display of our own, ended by stop_display.
start_display() {
  local fifo
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  XVFB_PID=$!
  read -r display <"$fifo" || true
  rm -f "$fifo"
  [ -n "$display" ] || fail "the virtual display (Xvfb) did not start"
  export DISPLAY=":$display"
}

stop_display() {
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null || true
}

# ensure_prefix DIR: a 64-bit Wine prefix that shows no crash dialogs, created once. A prefix
# made by one loader is not shared with the other: the 64-bit loader alone leaves syswow64 empty.
ensure_prefix() {
  detect_wine
  export WINEPREFIX=$1 WINEDEBUG=-all
  local kind=wow64 said
  [ "$WINE_32BIT" = 1 ] || kind=win64
  # Only the project's own prefixes under build/ are ever made anew, never a user's.
  if [[ $WINEPREFIX == "$KALVENOR_ROOT/build/"* ]] && [ -f "$WINEPREFIX/system.reg" ] &&
    [ "$(cat "$WINEPREFIX/.kalvenor-kind" 2>/dev/null)" != "$kind" ]; then
    log "The Wine prefix $WINEPREFIX was made for another loader: making it anew"
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "Creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    if ! said=$(wineboot -i 2>&1) || [ ! -f "$WINEPREFIX/system.reg" ]; then
      rm -rf "$WINEPREFIX"
      fail "wineboot could not create the Wine prefix $WINEPREFIX$(wine_why "$said")"
    fi
    # A crashing child would otherwise wait behind the debugger's dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >/dev/null 2>&1 || fail "wine reg could not turn off the crash dialog in $WINEPREFIX"
    wineserver -w
    echo "$kind" >"$WINEPREFIX/.kalvenor-kind"
  fi
}

# wine_why OUTPUT: the reason a Wine tool gave, as the end of a sentence.
wine_why() {
  if [[ $1 == *"Exec format error"* ]]; then
    echo ": \"Exec format error\", a 32-bit program on a machine that runs 64-bit code only"
  elif [ -n "$1" ]; then
    echo ": ${1%%$'\n'*}"
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
