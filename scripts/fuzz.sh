#!/usr/bin/env bash
# make fuzz: builds the libFuzzer targets with clang (ASan, UBSan) in build/fuzz,
# refreshes the seed corpora from the writers, and runs every target for
# FUZZ_SECONDS (default 180) on its corpus in fuzz/corpus/<target>/. Findings
# are written to build/fuzz/findings/<target>/; keep each fixed one in the corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-180}"
build=build/fuzz

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSP_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build "$build" -j 2 --target make_fuzz_corpus
targets=()
for source in fuzz/*_fuzz.cpp; do
  targets+=("$(basename "$source" .cpp)")
done
cmake --build "$build" -j 2 --target "${targets[@]}"
"$build/bin/make_fuzz_corpus" fuzz/corpus

status=0
for target in "${targets[@]}"; do
  name="${target%_fuzz}"
  mkdir -p "fuzz/corpus/$name" "$build/findings/$name" "$build/corpus/$name"
  echo "== $target for ${seconds}s"
  # New inputs go to the scratch corpus in the build tree; the kept corpus in the
  # repository holds only seeds and regression cases.
  if ! "$build/bin/$target" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
      -artifact_prefix="$build/findings/$name/" -print_final_stats=1 \
      "$build/corpus/$name" "fuzz/corpus/$name" 2>&1 | tail -n 25; then
    status=1
  fi
done
exit $status
