#!/usr/bin/env bash
# Runs every test layer and reports each runner's summary; fails if any fails.
# Which Windows build runs under which Wine loader follows the machine
# (scripts/wine-mode.sh); a layer that cannot run fails, it is never skipped.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-mode.sh
jobs=$(nproc)
failed=0
timings=()

# layer NAME COMMAND...: runs one layer, notes its time and whether it passed.
layer() {
  local name=$1 start status=passed
  shift
  echo "== $name"
  start=$(date +%s)
  "$@" || { status=FAILED; failed=1; }
  timings+=("$(printf '%5d s  %-6s  %s' $(($(date +%s) - start)) "$status" "$name")")
}

# Inside scripts/with-wine.sh: the Windows unit tests of the build that the
# loader runs, then the end-to-end tests against it; and the smoke of the
# shipped installer.
windows_suite='status=0
  ctest --test-dir "$SP_WIN_BUILD" --output-on-failure || status=1
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e || status=1
  exit $status'
smoke=(/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/smoke)

mode=$(sp_wine_mode) || exit 1
sp_describe_wine_mode "$mode"

layer "build: the tool, the installer, its 64-bit twin, the sanitizer build" \
  make --no-print-directory build
if [ "$failed" -ne 0 ]; then echo "make test: FAILED (build)"; exit 1; fi
layer "native unit tests (ASan/UBSan)" ctest --test-dir build/asan --output-on-failure -j "$jobs"
if [ "$mode" = native ]; then
  layer "Windows unit and end-to-end tests: the real installer (Wine, 32-bit loader)" \
    env SP_WINE_LOADER=32 scripts/with-wine.sh bash -c "$windows_suite"
  layer "smoke of the shipped installer (Wine, 32-bit loader)" \
    env SP_WINE_LOADER=32 scripts/with-wine.sh "${smoke[@]}"
fi
layer "Windows unit and end-to-end tests: the 64-bit test twin (Wine, 64-bit loader)" \
  env SP_WINE_LOADER=64 scripts/with-wine.sh bash -c "$windows_suite"
if [ "$mode" = twin ]; then
  layer "smoke of the shipped installer (Wine, 32-bit loader under CPU emulation)" \
    env SP_WINE_LOADER=emulated scripts/with-wine.sh "${smoke[@]}"
fi

echo "== time per layer ($mode mode)"
printf '%s\n' "${timings[@]}"
if [ "$failed" -ne 0 ]; then echo "make test: FAILED"; exit 1; fi
echo "make test: all passed"
