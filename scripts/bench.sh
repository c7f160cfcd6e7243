#!/usr/bin/env bash
# Builds the library and prints the production benchmark: median times of the
# four production workloads with the vector kernels and with ORVANE_CPU=scalar,
# and their ratio, in one run.
# Usage: scripts/bench.sh [repetitions] [workload letters, default abcd]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target orvane_production
./build/bench/orvane_production "${1:-5}" "${2:-abcd}"
