#!/usr/bin/env bash
# make fuzz: builds the libFuzzer targets with clang (ASan, UBSan) in build/fuzz,
# refreshes the seed corpora from the writers, and runs every target for
# FUZZ_SECONDS (default 180) on its corpus in fuzz/corpus/<target>/. Findings
# are written to build/fuzz/findings/<target>/; keep each fixed one in the corpus.
#
#   FUZZ_TARGETS="delta records"   only these targets (names without _fuzz)
#   FUZZ_PARALLEL=1                all targets at once, each under nice -n 19, for
#                                  a long campaign beside other work; prints one
#                                  line per target for fuzz/campaign.md
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
  name="$(basename "$source" _fuzz.cpp)"
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $name "* ]]; then continue; fi
  targets+=("${name}_fuzz")
done
cmake --build "$build" -j 2 --target "${targets[@]}"
"$build/bin/make_fuzz_corpus" fuzz/corpus

# Whole installer programs are larger than the other inputs.
max_len() {
  case "$1" in
    installer_image) echo 262144 ;;
    *) echo 65536 ;;
  esac
}

# Runs one target; its log, CPU time and corpus growth go to build/fuzz/runs/.
run_target() {
  local target="$1" name="${1%_fuzz}" runs="$build/runs"
  mkdir -p "fuzz/corpus/$name" "$build/findings/$name" "$build/corpus/$name" "$runs"
  local before
  before=$(find "$build/corpus/$name" -type f | wc -l)
  # New inputs go to the scratch corpus in the build tree; the kept corpus in the
  # repository holds only seeds and regression cases.
  local status=0
  /usr/bin/time -o "$runs/$name.time" -f '%U %S' \
    nice -n "${FUZZ_NICE:-0}" "$build/bin/$target" -max_total_time="$seconds" -max_len="$(max_len "$name")" \
    -rss_limit_mb=2048 -timeout=60 -artifact_prefix="$build/findings/$name/" -print_final_stats=1 \
    "$build/corpus/$name" "fuzz/corpus/$name" >"$runs/$name.log" 2>&1 || status=1
  local after cpu execs crashes
  after=$(find "$build/corpus/$name" -type f | wc -l)
  cpu=$(awk 'END { printf "%d", $1 + $2 }' "$runs/$name.time")
  execs=$(awk '/stat::number_of_executed_units/ { print $2 }' "$runs/$name.log")
  crashes=$(find "$build/findings/$name" -type f | wc -l)
  printf '| %s | %s | %s | %s | %s | %s |\n' "$(date -u +%F)" "$target" "$cpu" "${execs:-?}" \
    "$((after - before))" "$crashes" | tee "$runs/$name.row"
  return $status
}

status=0
if [ -n "${FUZZ_PARALLEL:-}" ]; then
  export FUZZ_NICE=19
  pids=()
  for target in "${targets[@]}"; do
    run_target "$target" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
else
  for target in "${targets[@]}"; do
    echo "== $target for ${seconds}s"
    run_target "$target" || status=1
    tail -n 25 "$build/runs/${target%_fuzz}.log"
  done
fi
exit $status
