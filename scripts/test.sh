#!/usr/bin/env bash
# Sets up, builds and runs every test: a release-style build (its tests, its
# Debian packages installed and used, the README's examples), then a
# Debug build with AddressSanitizer and UndefinedBehaviorSanitizer, then
# memcheck on the fakes, ThreadSanitizer on the threaded test, and the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
# The Debian packages of the release build: install, use, remove.
scripts/package-test.sh build
# Every shell example of the README, as written.
scripts/readme-examples.sh

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCM3PROBE_SANITIZE=ON
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

# Memcheck: the library tests on the scripted fakes. The bit-level simulator
# is far too slow under valgrind; the ASan build above covers it.
valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --suppressions=tests/reliability/valgrind.supp --child-silent-after-fork=yes -q \
  build/tests/library_tests --gtest_filter='-*Sim*:AllPaths/*:SwdOrJtag/*:BatchedOrNot/*'

# ThreadSanitizer: eight threads of one process sharing one served probe.
tsan=-fsanitize=thread
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCM3PROBE_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$tsan" -DCMAKE_CXX_FLAGS="$tsan" -DCMAKE_EXE_LINKER_FLAGS="$tsan" -DCMAKE_SHARED_LINKER_FLAGS="$tsan"
cmake --build build-tsan -j "$jobs" --target reliability_tests cm3probe-sim
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/reliability/reliability_tests --gtest_filter='SharedLoadTest.EightThreads*'

# libFuzzer: each target for a bounded time from the committed corpus.
FUZZ_SECONDS=25 scripts/fuzz.sh
