#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target...]
# New interesting inputs go to a scratch corpus; a crash input is written to
# fuzz/corpus/<target>/ so the replay tests keep it fixed for good.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
secs=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(read_block write_blocks validate_sensor_cfg gainmap add_raw add_raw_2pd dccmap)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DORVANE_FUZZ=ON -DORVANE_BUILD_TOOLS=OFF \
  -DORVANE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
for t in "${targets[@]}"; do
  cmake --build build-fuzz -j 2 --target "fuzz_$t" >/dev/null
  mkdir -p "build-fuzz/corpus/$t"
  echo "== fuzz_$t for ${secs}s"
  ./build-fuzz/fuzz/"fuzz_$t" -max_total_time="$secs" -rss_limit_mb=4096 -malloc_limit_mb=4096 \
    -artifact_prefix="fuzz/corpus/$t/crash-" "build-fuzz/corpus/$t" "fuzz/corpus/$t" 2>&1 \
    | grep -vE '^(line width problem|Error: Invalid ROI coordinates|Cannot open file for write)' | tail -3
done
