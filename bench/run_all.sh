#!/usr/bin/env bash
# Runs each benchmark program given on the command line and prints, at the
# end, every RATIO and FIGURE line they reported, so scripts can read one block.
set -uo pipefail
reps=${BENCH_REPETITIONS:-5}
out=$(mktemp)
status=0
echo "Benchmarks: median of ${reps} repetitions each; threads are not pinned (the"
echo "machine's scheduler places them), so figures on a shared machine carry noise."
for program in "$@"; do
  echo "=== ${program}"
  if ! BENCH_REPETITIONS=$reps "./${program}" --benchmark_repetitions="$reps" \
        --benchmark_report_aggregates_only=true 2>&1 | tee -a "$out"; then
    echo "=== ${program} FAILED"
    status=1
  fi
done
echo
echo "=== Summary"
grep -E '^(RATIO|FIGURE) ' "$out"
rm -f "$out"
exit $status
