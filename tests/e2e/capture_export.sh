#!/usr/bin/env bash
# The exports of one /capture used where they are meant for, each in a scratch copy of the
# prefix (installing Wine's servers under other names overwrites, and uninstalling removes, the
# keys of Wine's own): reg import of the .reg file gives what regsvr32.exe of the copies in the
# system directory gives; the WiX source is valid against WiX's schema and, built by wixl,
# installs with msiexec, every captured value in its view and every file proven as an Install
# proves it, and uninstalls completely.
#   tests/e2e/capture_export.sh <build-dir>   (WINEPREFIX and DISPLAY as for run.sh)
set -euo pipefail
build=$(cd "${1:?usage: capture_export.sh <build-dir>}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lib.sh"
: "${WINEPREFIX:?set WINEPREFIX to an initialised Wine prefix}"
detect_wine
base=$WINEPREFIX scratch=$build/wine-capture work=$build/capture-export
export WINEDEBUG=-all LC_ALL=C
# Its registry written out before it is copied.
wineserver -k 2>/dev/null || true
trap 'WINEPREFIX=$scratch wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
# From a Linux shell, plain wine starts the 32-bit reg.exe, regsvr32.exe and msiexec.exe, which
# see the 32-bit views and syswow64 as system32: the 64-bit ones write what the files name.
wine64() { WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64 "$@"; }
fresh() {
  wineserver -k 2>/dev/null || true
  rm -rf "$scratch"
  cp -a "$base" "$scratch"
  export WINEPREFIX=$scratch
}
# Every value of HKLM\Software and HKCU\Software as sorted lines "key\tname=data", lower case,
# \\?\ paths plain, expandable and multi-string data as text.
export_lines() {
  local name
  for name in HKLM HKCU; do
    wine64 reg export "$name\\Software" "$(winepath -w "$work/$1.$name.reg")" /y >/dev/null
  done
  python3 - "$work/$1".HK??.reg >"$work/$1.lines" <<'EOF'
import re, sys
for name in sys.argv[1:]:
    text = open(name, encoding="utf-16").read().replace("\\\n  ", "")
    key = None
    for line in text.splitlines():
        if line.startswith("["):
            key = line[1:-1]
            print(key.lower())
            continue
        match = re.match(r'(@|".*?(?<!\\)")=hex\((2|7)\):(.*)', line)
        if match:
            data = bytes(int(b, 16) for b in match[3].split(",") if b).decode("utf-16-le")
            line = f"{match[1]}=str({match[2]}):{data.rstrip(chr(0))!r}"
        if key and line:
            print(f"{key}\t{line}".lower().replace("\\\\\\\\?\\\\", ""))
EOF
  sort -u -o "$work/$1.lines" "$work/$1.lines"
}
# Lines of $1 that $2 lacks, beyond those the installer keeps of its own.
missing() {
  comm -23 "$work/$1.lines" "$work/$2.lines" | grep -v -e '\\installer\\' -e '\\uninstall\\' || true
}
expect_none() {
  [ -z "$2" ] && return 0
  echo "FAILED: $1:" >&2
  head -20 <<<"$2" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work/pkg"
# Two names of each bitness that WiX's identifiers cannot tell apart (- and _ alike).
copies=(scrrun.dll:ms_lib64.dll:x86_64 msxml3.dll:ms-lib64.dll:x86_64 wshom.ocx:wshom64.ocx:x86_64)
if [ "$WINE_32BIT" = 1 ]; then
  copies+=(scrrun.dll:ms_lib32.dll:i386 msxml3.dll:ms-lib32.dll:i386 wshom.ocx:wshom32.ocx:i386)
fi
names=()
for copy in "${copies[@]}"; do
  IFS=: read -r server name machine <<<"$copy"
  cp "/usr/lib/$machine-linux-gnu/wine/$machine-windows/$server" "$work/pkg/$name"
  names+=("$name")
done
cp "$build/samples/kalvenor_sample.dll" "$work/pkg/"
names+=(kalvenor_sample.dll)
system_of() { # the system directory, in the 64-bit prefix, of a file's bitness
  case $(objdump -f "$work/pkg/$1") in
    *pei-i386*) echo "$WINEPREFIX/drive_c/windows/syswow64" ;;
    *) echo "$WINEPREFIX/drive_c/windows/system32" ;;
  esac
}

log "Capture, $(basename "$build")"
fresh
w=$(winepath -w "$work")
wine "$build/src/kalvenor.exe" /capture /quiet "/log:$w\\c.log" "/wxs:$w\\c.wxs" "/reg:$w\\c.reg" \
  "$w\\pkg" || { cat "$work/c.log"; exit 1; }
export_lines base

log "regsvr32.exe of the copies in the system directories"
for name in "${names[@]}"; do
  dir=$(system_of "$name")
  cp "$work/pkg/$name" "$dir/"
  # Each bitness's own tool, which registers in its own view.
  wine64 "$(winepath -w "$dir")\\regsvr32.exe" /s "$(winepath -w "$dir/$name")" ||
    { echo "FAILED: regsvr32 $name" >&2; exit 1; }
done
export_lines registered

log "reg import of the .reg file"
fresh
wine64 reg import "$w\\c.reg" >/dev/null
export_lines imported
[ -n "$(missing imported base)" ] || expect_none "the .reg file" "changed nothing"
expect_none "regsvr32 wrote what the .reg file lacks" "$(missing registered imported)"
expect_none "the .reg file wrote what regsvr32 did not" "$(missing imported registered)"

log "The WiX source against WiX's schema, through wixl and msiexec"
xmllint --noout --schema "$here/wix/wix.xsd" "$work/c.wxs"
python3 "$here/wix3_for_wixl.py" "$work/c.wxs" "$work/pkg/product.wxs"
(cd "$work/pkg" && wixl -a x64 -o ../c.msi product.wxs)
fresh
wine64 msiexec /i "$w\\c.msi" /qn || { echo "FAILED: msiexec /i" >&2; exit 1; }
export_lines installed
expect_none "captured values that the package did not install" "$(missing imported installed |
  comm -23 - "$work/base.lines")"
KALVENOR_CAPTURE_INSTALLED=$(IFS=';' && echo "${names[*]}") \
  "$here/run.sh" "$build" --gtest_filter='CaptureInstalled.*'
wine64 msiexec /x "$w\\c.msi" /qn || { echo "FAILED: msiexec /x" >&2; exit 1; }
export_lines uninstalled
expect_none "captured values that the uninstall left" "$(comm -12 "$work/uninstalled.lines" \
  <(missing imported base))"
for name in "${names[@]}"; do
  [ ! -e "$(system_of "$name")/$name" ] || expect_none "the uninstall left a file" "$name"
done
rm -rf "$work"
log "The .reg file equals regsvr32's registration; the package installs, proves and uninstalls"
