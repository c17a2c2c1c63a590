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
exit $status
