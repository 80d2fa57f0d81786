#!/usr/bin/env bash
# Runs each benchmark program given on the command line and prints, at the
# end, every RATIO and FIGURE line they reported, so scripts can read one block.
#
# BENCH_REPETITIONS (default 5) sets the repetitions behind each median; CI
# uses 1, a single run of each, for a run of a few minutes.
set -uo pipefail
reps=${BENCH_REPETITIONS:-5}
cpus=$(nproc)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0

# Programs whose figures are thread wake-ups and round trips between threads:
# they need the CPUs to themselves, and on a busy machine their absolute
# figures measure the other load as much as the library.
needs_idle_cpus="channel_bench stack_bench libusb_stack_bench python_echo_bench"

load_now() { cut -d' ' -f1 /proc/loadavg; }
busy() { awk -v l="$1" -v c="$cpus" 'BEGIN { exit !(l > c / 2) }'; }

if [ "$reps" -gt 1 ]; then
  echo "Benchmarks: each figure is the median of ${reps} repetitions."
else
  echo "Benchmarks: each figure is a single run (BENCH_REPETITIONS=1): a smoke test, not a measurement."
fi
echo "Threads: left to the scheduler on ${cpus} CPUs unless a program says otherwise"
echo "(channel_bench also runs each case with the two sides pinned to two CPUs)."
echo "Ratios compare figures taken in the same run; trust them over absolute figures."
noisy=""
for program in "$@"; do
  echo "=== ${program}"
  load=$(load_now)
  case " ${needs_idle_cpus} " in
    *" ${program} "*)
      echo "(needs the CPUs to itself; load average at start ${load} on ${cpus} CPUs)"
      if busy "$load"; then noisy="${noisy} ${program}(load ${load})"; fi
      ;;
  esac
  if ! BENCH_REPETITIONS=$reps "./${program}" --benchmark_repetitions="$reps" \
        --benchmark_report_aggregates_only=true 2>&1 | tee -a "$out"; then
    echo "=== ${program} FAILED"
    status=1
  fi
done
echo
echo "=== Summary (${reps} repetition(s) per median, threads unpinned, ${cpus} CPUs)"
if [ -n "$noisy" ]; then
  echo "Machine busy during:${noisy}; their figures carry the other load's noise."
fi
grep -E '^(RATIO|FIGURE) ' "$out"
# Every ratio a reader relies on must be there: a missing one is a failure,
# not a shorter summary.
required="crc_vs_zlib_512 crc_vs_zlib_64k receive_vs_memcpy channel_vs_link_bound
          channel_vs_two_thread_limit stack_vs_link pipes8_vs_pipes1 pipe1_vs_bound_usb_delay
          pipes8_vs_pipes1_usb_delay"
# The Python module's ratio, where the build has the module.
case " $* " in *" python_echo_bench "*) required="${required} python_vs_cpp" ;; esac
for name in ${required}; do
  if ! grep -qE "^RATIO ${name} " "$out"; then
    echo "MISSING RATIO ${name}"
    status=1
  fi
done
# Only a build with ISA-L has the direct call to hold the library's CRC against.
if grep -qE '^FIGURE isal_crc_512 ' "$out" && ! grep -qE '^RATIO crc_vs_isal_512 ' "$out"; then
  echo "MISSING RATIO crc_vs_isal_512"
  status=1
fi
exit $status
