#!/usr/bin/env bash
# make stress: the mutation campaign over real patches and installer payloads.
# 1. Every mutant through the installer's own readers under ASan and UBSan
#    (build/asan/bin/mutation_stress), with figures per mutation class.
# 2. STRESS_WINE_RUNS (default 300) of them through the real installer under
#    Wine against an installed first version of the product, one run after
#    another in the prefix build/wpfx-stress (tests/stress/wine_stress.py).
# Runs inside scripts/with-wine.sh (see the Makefile).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
mutants="$root/build/stress/mutants"

echo "== mutation campaign under ASan and UBSan"
status=0
build/asan/bin/mutation_stress --stride 1 --random-flips "${STRESS_RANDOM_FLIPS:-400}" \
  --emit "$mutants" --count "${STRESS_WINE_RUNS:-300}" || status=1

echo "== mutants through the installer under Wine"
# The drive scan of a run must not walk the whole Unix file system: Z: is an
# empty folder in this prefix, watched like drive C.
mkdir -p "$root/build/stress/z"
rm -rf "$root/build/stress/z/"*
ln -sfn "$root/build/stress/z" "$WINEPREFIX/dosdevices/z:"
trap 'ln -sfn / "$WINEPREFIX/dosdevices/z:"' EXIT
/usr/bin/python3 tests/stress/wine_stress.py "$mutants" || status=1
exit $status
