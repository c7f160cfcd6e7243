#!/usr/bin/env bash
# A small lot simulated (rendering threads) and calibrated by three workers,
# then resumed: run under ThreadSanitizer, any report exits non-zero.
# Usage: lot_threads.sh ORVANE_CLI WORK_DIR
set -euo pipefail
cli=$1
work=$2
rm -rf "$work"
"$cli" simulate --lot 6 --width 384 --height 288 --seed 3 --out "$work/lot" >/dev/null
"$cli" batch "$work/lot" --jobs 3 --out "$work/out"
rm "$work/out/module-002/batch.json"
# Read whole before matching: grep -q would close the pipe while the run still
# writes its lot page line.
resumed=$("$cli" batch "$work/lot" --jobs 3 --out "$work/out")
grep -q "(1 calibrated, 5 already complete)" <<<"$resumed"
test "$(wc -l < "$work/out/lot.csv")" -eq 7
