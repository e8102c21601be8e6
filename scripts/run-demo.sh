#!/usr/bin/env bash
# Sets up, builds and runs the main job on the simulated target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target open-report
CM3PROBE_DRIVER=sim ./build/open-report
