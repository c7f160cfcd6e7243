#!/usr/bin/env bash
# Builds Orvane and runs the main job: `orvane demo`, a full calibration of
# the built-in synthetic PD sensor, checked against its ground truth.
# Usage: scripts/demo.sh [orvane demo options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target orvane_cli
./build/tools/orvane demo "$@"
