#!/usr/bin/env bash
# `make demo`: builds the tool and the installer, then runs scripts/demo.sh on
# the Windows build that this machine runs (scripts/wine-mode.sh). Where the
# kernel refuses 32-bit code the demo's installers are built on the 64-bit test
# twin, and the demo ends by running the real installer once under CPU emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-mode.sh
mode=$(sp_wine_mode)
sp_describe_wine_mode "$mode"
make --no-print-directory native win win64

if [ "$mode" = native ]; then
  SP_WINE_LOADER=32 scripts/with-wine.sh bash scripts/demo.sh
  exit
fi

echo "== The demo's installers are built on the 64-bit test twin (build/win64): this"
echo "   kernel refuses 32-bit code, so the real installer cannot run here natively."
SP_WINE_LOADER=64 SP_DEMO_STUB="$PWD/build/win64/bin/selfpatch-sfx.exe" \
  scripts/with-wine.sh bash scripts/demo.sh

echo
echo "== 6. The real 32-bit installer (build/win/bin/selfpatch-sfx.exe) under CPU"
echo "   emulation: the sample product of steps 1 to 4 once more, built with the"
echo "   installer program that the tool carries (the first start of the emulated"
echo "   Wine takes a few minutes, each start of the installer about a minute)"
SP_WINE_LOADER=emulated SP_DEMO_SAMPLE_ONLY=1 scripts/with-wine.sh bash scripts/demo.sh
