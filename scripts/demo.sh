#!/usr/bin/env bash
# Builds Orvane and runs the main job on its built-in defaults.
# Usage: scripts/demo.sh [orvane demo options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target host_example_c
./build/tests/interface/host_example_c "$@"
