#!/usr/bin/env bash
# Regenerates bench/REPORT.md and bench/throughput.png from a Release build:
# the host CPU benchmarks, callgrind's instruction counts for one batched 4 KB
# block, the allocation test, the workload runner (with OpenOCD on the virtual
# USB device when openocd is installed) and the plot. Run by hand (CI never
# runs it); needs valgrind and gnuplot (scripts/install-deps.sh).
#
#   bench/make-report.sh [BUILD_DIR]      default BUILD_DIR: build-bench
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
jobs=${JOBS:-2}

for tool in cmake ninja valgrind gnuplot; do
  command -v "$tool" >/dev/null || { echo "make-report: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

# GCC 12 at -O3 reports -Wrestrict inside std::string where there is no
# overlap (it stops the GDB server's build); a warning is enough here.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCM3PROBE_BUILD_BENCH=ON -DCM3PROBE_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS=-Wno-error=restrict >/dev/null
ninja -C "$build" -j "$jobs" bench_host_cpu bench_block_once bench_workloads allocation_tests
# The tool workloads need the command line; without it they become TODO notes.
if ninja -C "$build" -t targets all | grep -q '^cm3probe-cli:'; then
  ninja -C "$build" -j "$jobs" cm3probe-cli >&2 || echo "make-report: the command line did not build" >&2
fi
# The OpenOCD comparison runs OpenOCD on the virtual USB device; without
# either, the report says so in its section.
if command -v openocd >/dev/null; then
  ninja -C "$build" -j "$jobs" cm3probe_vusb >&2 || echo "make-report: the virtual USB device did not build" >&2
else
  echo "make-report: openocd is missing; the OpenOCD comparison is skipped" >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "make-report: host CPU benchmarks" >&2
"$build/bench/bench_host_cpu" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$work/host_cpu.json" --benchmark_out_format=json >&2

echo "make-report: callgrind" >&2
: >"$work/callgrind.tsv"
for proto in swd jtag; do
  for direction in read write; do
    for mode in replay simulator; do
      out="$work/callgrind.$proto.$direction.$mode"
      valgrind --tool=callgrind --collect-atstart=no --toggle-collect=bench_measured_block \
        --callgrind-out-file="$out" "$build/bench/bench_block_once" "$proto" "$direction" "$mode" 2>/dev/null
      count=$(awk '/^totals:/ {print $2}' "$out")
      printf '%s %s %s\t%s\n' "$proto" "$direction" "$mode" "$count" >>"$work/callgrind.tsv"
    done
  done
done

echo "make-report: allocation test" >&2
"$build/tests/bench/allocation_tests" >"$work/allocations.log"

echo "make-report: workloads" >&2
"$build/bench/bench_workloads" --sweep "$work" \
  --report bench/REPORT.md --benchmarks "$work/host_cpu.json" --callgrind "$work/callgrind.tsv" \
  --allocations "$work/allocations.log" --plot throughput.png >/dev/null

gnuplot -e "datadir='$work'; output='bench/throughput.png'" bench/throughput.gp
echo "make-report: wrote bench/REPORT.md and bench/throughput.png" >&2
