#!/usr/bin/env bash
# Runs every benchmark in turn (`make bench`). Each prints its figures next to
# its peers' measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== delta encoder against bsdiff, xdelta3 and zstd (real Windows binaries)"
/usr/bin/python3 bench/encoder_bench.py build/native/bin/selfpatch
