#!/usr/bin/env bash
# Builds Orvane and runs every test (unit, interface, tool and packaging).
# Usage: scripts/test.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${1:-build}
shift || true
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j 2
ctest --test-dir "$build" -j 2 --output-on-failure --timeout 900
