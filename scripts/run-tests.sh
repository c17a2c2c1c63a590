#!/usr/bin/env bash
# Runs every test layer and reports each runner's summary; fails if any fails.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
failed=0

echo "== native unit tests (ASan/UBSan)"
ctest --test-dir build/asan --output-on-failure -j "$jobs" || failed=1

echo "== Windows unit tests and end-to-end tests (Wine)"
scripts/with-wine.sh bash -c '
  status=0
  ctest --test-dir build/win --output-on-failure || status=1
  if ls tests/e2e/test_*.py >/dev/null 2>&1; then
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e || status=1
  fi
  exit $status' || failed=1

if [ "$failed" -ne 0 ]; then echo "make test: FAILED"; exit 1; fi
echo "make test: all passed"
