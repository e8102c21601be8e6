#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang with ASan and UBSan) and runs
# each for a bounded time, starting from the committed corpus. New inputs go
# to a scratch directory, never into the repository. A finding fails the run
# and is kept under <build>/artifacts; add it to fuzz/corpus/<target>/ once
# fixed, where the reliability tests replay it in every build.
#
#   FUZZ_SECONDS   time per target (default 25)
#   FUZZ_BUILD_DIR build directory (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-25}
build=${FUZZ_BUILD_DIR:-build-fuzz}
cc=$(command -v clang-14 || command -v clang)
cxx=$(command -v clang++-14 || command -v clang++)

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
targets=(mpsse_wire exports)
# The GDB server's packet parser, once the server is in the tree.
if [ -f tools/gdbserver/session.h ] && [ -f tools/gdbserver/packet.h ]; then targets+=(gdb_packets); fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts="$build/artifacts"
mkdir -p "$artifacts"
failed=()
for target in "${targets[@]}"; do
  mkdir -p "$scratch/$target"
  echo "fuzz: $target for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:malloc_context_size=10 UBSAN_OPTIONS=print_stacktrace=1 \
      "$build/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$scratch/$target" "fuzz/corpus/$target" \
      > "$scratch/$target.log" 2>&1; then
    failed+=("$target")
    tail -n 60 "$scratch/$target.log"
  else
    grep -E "^stat::number_of_executed_units|^Done " "$scratch/$target.log" || true
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}; inputs kept in $artifacts" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, ${seconds}s each, no finding"
