#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the fuzz target of what workers send (clang's
# libFuzzer, with AddressSanitizer and UndefinedBehaviorSanitizer) and runs
# it from the seeds in the tree for SECONDS (60 unless given). Fails on any
# finding; the input that caused it is left in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
corpus=build/fuzz/corpus
mkdir -p "$corpus"
# New inputs go to the first folder; the seeds in the tree stay as they are.
status=0
build/fuzz/pool_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ "$corpus" src/worker/pool_fuzz_seeds >build/fuzz/log 2>&1 || status=$?
grep -E '^(stat::number_of_executed_units|SUMMARY)|ERROR|artifact' build/fuzz/log || true
if [ "$status" -ne 0 ]; then
  tail -n 40 build/fuzz/log >&2
  echo "fuzz.sh: the fuzz target found a fault (status $status); see build/fuzz/log" >&2
  exit 1
fi
echo "fuzz.sh: ${seconds} s of fuzzing found nothing"
