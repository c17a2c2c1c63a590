#!/usr/bin/env bash
# The main job (`make demo`, run inside scripts/with-wine.sh): builds the
# installer of a small sample product from a project file with `selfpatch
# build`, runs it silently under Wine and shows what it did; then updates a
# product of three versions (scripts/demo_update.py).
# SP_DEMO_STUB names another installer program to build with (the 64-bit test
# twin); SP_DEMO_SAMPLE_ONLY=1 stops after the sample product.
set -euo pipefail
cd "$(dirname "$0")/.."
tool="$PWD/build/native/bin/selfpatch"
bin="${SP_WIN_BUILD:-build/win}/bin"
stub_args=()
if [ -n "${SP_DEMO_STUB:-}" ]; then stub_args=(--stub "$SP_DEMO_STUB"); fi
work="$WINEPREFIX/drive_c/selfpatch-demo"
win='C:\selfpatch-demo'

rm -rf "$work"
mkdir -p "$work/product" "$work/build"

echo "== 1. The installed sample product (version 1.0) in $win\\product"
mkdir -p "$work/build/1.0" "$work/build/1.1"
printf 'Sample Product 1.0\n' > "$work/product/readme.txt"
printf 'Sample Product 1.0\n' > "$work/build/1.0/readme.txt"
printf 'Sample Product 1.1: faster and smaller\n' > "$work/build/1.1/readme.txt"
# Its entry in the list of installed programs, as its own installer would write it.
entry='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\SampleProduct'
# /reg:32: the view of 32-bit programs, where the installer reads.
wine reg add "$entry" /v DisplayIcon /d "$win\\product\\sample.exe,0" /reg:32 /f >/dev/null 2>&1
wine reg add "$entry" /v UninstallString /d "\"$win\\product\\uninstall.exe\" /remove" /reg:32 /f \
  >/dev/null 2>&1
echo "   readme.txt: $(cat "$work/product/readme.txt")"
echo "   registry: $entry"
echo "     DisplayIcon     = $win\\product\\sample.exe,0"
echo "     UninstallString = \"$win\\product\\uninstall.exe\" /remove"
# The running sample application: its window class is named in the patch; it
# holds readme.txt open, so unless it is closed first the file could only be
# replaced at the next restart.
wine "$bin/classapp.exe" SampleProductWindow close --hold "$win\\product\\readme.txt" \
  --ready "$win\\build\\app-ready" >/dev/null 2>&1 &
app=$!
trap 'kill "$app" 2>/dev/null || true' EXIT
for _ in $(seq 500); do [ -e "$work/build/app-ready" ] && break; sleep 0.02; done
echo "   sample application running (window class SampleProductWindow), readme.txt held open"

echo "== 2. The installer, built from a project file: versions 1.0 and 1.1 of the product"
echo "   (one delta record), texts naming its uninstall entry and its application, a"
echo "   follow-up program and the switch /s"
cp "$bin/recorder.exe" "$work/build/after-update.exe"
cat > "$work/build/sample.toml" <<'TOML'
[product]
name = "Sample Product"
from = "1.0"
to = "1.1"
language = "en"

[folders]
new = "1.1"
old = ["1.0"]

[options]
full = false                       # updates 1.0 only: no full content

[texts]
uninstall_keys = "SampleProduct"   # found through its uninstall entry
app1_class = "SampleProductWindow" # closed before the update
app1_name = "Sample Application"

[pack]
run = ["after-update.exe"]
silent = true
TOML
sed 's/^/   | /' "$work/build/sample.toml"
echo "   \$ selfpatch build sample.toml -o ../sample-update.exe"
(cd "$work/build" && "$tool" build sample.toml -o ../sample-update.exe "${stub_args[@]}") |
  sed 's/^/   /'

echo "== 3. Running $win\\sample-update.exe under Wine"
set +e
output=$(SELFPATCH_RECORD_DIR="$win\\build" wine "$bin/runwait.exe" "$win\\sample-update.exe")
set -e
code=$(sed -n 's/^exit=//p' <<<"$output" | tr -d '\r')
case "$code" in
  0) meaning="update finished" ;;
  1) meaning="damaged payload" ;;
  2) meaning="payload missing or unpacking could not write" ;;
  10[0-7]) meaning="the update stopped (see README: exit codes)" ;;
  200) meaning="finished, but some files were not updated" ;;
  *) meaning="unexpected" ;;
esac
echo "   exit code: ${code:-none} ($meaning)"

echo "== 4. What it did"
log="$work/build/after-update.log"
if [ -f "$log" ]; then
  folder=$(sed -n 's/^cwd=//p' "$log" | tr -d '\r')
  echo "   unpacked into the private folder $folder"
  echo "   files there while the follow-up program ran:"
  sed -n 's/^file=/     /p' "$log"
  echo "   follow-up program started as: $(sed -n 's/^commandline=//p' "$log")"
else
  echo "   the follow-up program did not run"
fi
temp=$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r' | tail -n 1)
leftovers=$(find "$WINEPREFIX/drive_c/${temp#C:\\}" -maxdepth 1 -name 'sp*' -type d 2>/dev/null |
            grep -cE '/sp[0-9a-f]{24}$' || true)
echo "   unpack folders left in $temp: $leftovers"
echo "   product readme.txt now: $(cat "$work/product/readme.txt")"
if kill -0 "$app" 2>/dev/null; then
  echo "   sample application: still running"
  kill "$app"
  exit 1
fi
echo "   sample application: closed by the installer before the update"
[ "$code" = 0 ] || exit 1
[ -z "${SP_DEMO_SAMPLE_ONLY:-}" ] || exit 0

echo
echo "== 5. A real product update: three versions, deltas chained 1.0 -> 2.0 -> 3.0"
/usr/bin/python3 scripts/demo_update.py
