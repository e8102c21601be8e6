#!/usr/bin/env bash
# Sets up, builds and runs the main job on the simulated target: open the
# virtual adapter over SWD and over JTAG, bring the debug port up and report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target probe-report
CM3PROBE_DRIVER=sim ./build/probe-report
CM3PROBE_DRIVER=sim ./build/probe-report --jtag --batched
