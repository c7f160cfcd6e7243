#!/usr/bin/env bash
# Builds Orvane and runs the main job: `orvane demo`, a full calibration of
# the built-in synthetic PD sensor, checked against its ground truth, and
# writes report.html, the page that shows the result, into its output folder.
# Usage: scripts/demo.sh [orvane demo options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target orvane_cli
./build/tools/orvane demo "$@"

# The report page of the run, in its output folder.
out=orvane-demo
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out="${2:-}"; shift ;;
    --out=*) out="${1#--out=}" ;;
    -h|--help) exit 0 ;;
  esac
  shift
done
echo "Report: $(realpath "$(PYTHONPATH=python /usr/bin/python3 -m orvane.report "$out")")"
