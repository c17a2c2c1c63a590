#!/usr/bin/env bash
# Runs every benchmark in turn (`make bench`). Each prints its figures next to
# its peers' measured in the same run. Speed figures live here, never in tests.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0

for program in build/native/bin/*_bench; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" || status=1
done

echo "== delta encoder against bsdiff, xdelta3 and zstd (real Windows binaries)"
/usr/bin/python3 bench/encoder_bench.py build/native/bin/selfpatch || status=1

# The installer under Wine with the loader this machine runs (SP_WINE_LOADER,
# set by `make bench`; 64 runs the 64-bit test twin).
echo "== installer: a 19 MB DLL updated by delta against by full content, under Wine"
SP_WINE_LOADER="${SP_WINE_LOADER:-32}" scripts/with-wine.sh /usr/bin/python3 bench/installer_bench.py || status=1
exit $status
