#!/usr/bin/env bash
# Builds the library and prints the production benchmark: the CPU, then median
# times of the four production workloads on every kernel table the CPU has
# (scalar, avx2, avx512) side by side with their ratios, in one run.
# With a table name and name=path/to/liborvane.so arguments it runs that table
# on each library build instead, alternating in one process (A/B of commits).
# Usage: scripts/bench.sh [repetitions] [workload letters, default abcd] [table name alone]
#                         [name=path/to/liborvane.so ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target orvane_production
./build/bench/orvane_production "${1:-5}" "${2:-abcd}" "${@:3}"
