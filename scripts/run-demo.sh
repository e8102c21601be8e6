#!/usr/bin/env bash
# Sets up, builds and runs the main job on the simulated target: `cm3probe
# demo`, a narrated debug session (open, init, flash the example firmware,
# run to a breakpoint, registers, memory, step, reset), then the shortest host
# program opening the virtual adapter over SWD and over JTAG. Builds what the
# README's examples use besides: cm3probe-sim and the virtual USB device.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target cm3probe-cli cm3probe-sim probe-report cm3probe_vusb
./build/cm3probe demo
CM3PROBE_DRIVER=sim ./build/probe-report
CM3PROBE_DRIVER=sim ./build/probe-report --jtag --batched
