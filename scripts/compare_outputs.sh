#!/usr/bin/env bash
# Runs the tool's commands (demo, simulate + calibrate, batch on a small lot,
# verify, inspect) and the Python package's calibrate and report on all three
# layouts with two builds, and compares every file they write byte for byte.
#
#   scripts/compare_outputs.sh BUILD_BEFORE BUILD_AFTER [OUT]
#
# Each build's own source tree (its CMakeCache) provides the Python package.
# Printed text is compared too, with the timings ("0.42 s") masked. Exits 1
# when any file differs, listing each; for a JSON file also the top-level keys
# that were added, removed or changed.
set -euo pipefail

if [[ $# -lt 2 ]]; then
  echo "usage: $0 BUILD_BEFORE BUILD_AFTER [OUT]" >&2
  exit 2
fi
before=$(realpath "$1")
after=$(realpath "$2")
out=$(realpath -m "${3:-/tmp/orvane-compare}")
python=/usr/bin/python3
# Small frames: the smallest the simulator takes, so the whole run stays short.
size=(--width 256 --height 192)

source_of() { sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$1/CMakeCache.txt"; }

run_build() {
  local build=$1 dest=$2
  local cli=$build/tools/orvane src
  src=$(source_of "$build")
  local lib
  lib=$(ls "$build"/liborvane.so | head -n 1)
  rm -rf "$dest"
  mkdir -p "$dest"
  local formats=(horizontal:raw16 vertical:raw10 dual:pgm)
  for entry in "${formats[@]}"; do
    local layout=${entry%%:*} format=${entry##*:}
    local d=$dest/$layout
    mkdir -p "$d"
    "$cli" demo --layout "$layout" "${size[@]}" --seed 7 --out "$d/demo" >"$d/demo.txt"
    "$cli" simulate --layout "$layout" "${size[@]}" --seed 3 --format "$format" \
      --out "$d/set" >"$d/simulate.txt"
    "$cli" simulate --layout "$layout" "${size[@]}" --seed 3 --format png --verify \
      --out "$d/verify-set" >"$d/simulate-verify.txt"
    "$cli" calibrate "$d/set/manifest.json" --out "$d/cal" >"$d/calibrate.txt"
    "$cli" verify "$d/cal" "$d/verify-set/manifest.json" --out "$d/verify" >"$d/verify.txt"
    for f in calibration_block curve_of_field_block state_dump; do
      "$cli" inspect "$d/cal/$f.bin" >"$d/inspect-$f.txt"
      "$cli" inspect --json "$d/cal/$f.bin" >"$d/inspect-$f.json"
    done
    # A lot of three modules, one of them made to fail.
    "$cli" simulate --lot 3 --layout "$layout" "${size[@]}" --seed 5 --out "$d/lot" \
      >"$d/simulate-lot.txt"
    "$cli" batch "$d/lot" --out "$d/lot-out" --jobs 2 >"$d/batch.txt" 2>&1 || true
    # The Python package: its own calibration of the set, and the report page.
    (cd "$src/python" && PYTHONDONTWRITEBYTECODE=1 ORVANE_LIBRARY=$lib ORVANE_CLI=$cli "$python" - "$d" <<'EOF'
import sys
import orvane
d = sys.argv[1]
cs = orvane.load_capture_set(d + "/set/manifest.json")
r = orvane.calibrate(cs, dump_path=d + "/python-state_dump.bin")
with open(d + "/python-block.bin", "wb") as f:
    f.write(bytes(r.block))
with open(d + "/python-cof.bin", "wb") as f:
    f.write(bytes(r.cof_block))
with open(d + "/python-status.txt", "w") as f:
    f.write(repr((int(r.gain_status), [int(s) for s in r.frame_status], int(r.dcc_status))) + "\n")
EOF
    ) >"$d/python.txt" 2>&1 || echo "python calibration failed" >>"$d/python.txt"
    (cd "$src/python" && PYTHONDONTWRITEBYTECODE=1 MPLBACKEND=Agg "$python" -m orvane.report \
      "$d/cal" --out "$d/report.html") >"$d/report.txt" 2>&1 || echo "report failed" >>"$d/report.txt"
  done
  # Timings differ from run to run: in the printed text, the lot table's last
  # column and the modules' marks.
  find "$dest" \( -name '*.txt' -o -name '*.log' \) -print0 |
    xargs -0 sed -i -E 's/[0-9]+\.[0-9]+ s\b/#.## s/g; s/ in [0-9hms]+ with / in # with /'
  find "$dest" -name lot.csv -print0 | xargs -0 sed -i -E 's/,[0-9.]+$/,#/'
  find "$dest" -name batch.json -print0 |
    xargs -0 sed -i -E 's/"runtime_s": [0-9.e+-]+/"runtime_s": 0/'
}

# Both builds write into the same folder, so that the paths the outputs quote
# are the same; each run is then moved aside.
rm -rf "$out/before" "$out/after"
echo "before: $before" >&2
run_build "$before" "$out/work"
mv "$out/work" "$out/before"
echo "after:  $after" >&2
run_build "$after" "$out/work"
mv "$out/work" "$out/after"

status=0
count=0
while IFS= read -r -d '' f; do
  rel=${f#"$out/before/"}
  count=$((count + 1))
  if [[ ! -e "$out/after/$rel" ]]; then
    echo "missing after: $rel"
    status=1
  elif ! cmp -s "$f" "$out/after/$rel"; then
    echo "differs: $rel"
    status=1
    if [[ $rel == *.json ]]; then
      "$python" - "$f" "$out/after/$rel" <<'EOF' || true
import json, sys
a, b = (json.load(open(p)) for p in sys.argv[1:3])
if isinstance(a, dict) and isinstance(b, dict):
    print("  added:", sorted(set(b) - set(a)), " removed:", sorted(set(a) - set(b)),
          " changed:", sorted(k for k in set(a) & set(b) if a[k] != b[k]))
EOF
    fi
  fi
done < <(find "$out/before" -type f -print0 | sort -z)
while IFS= read -r -d '' f; do
  rel=${f#"$out/after/"}
  [[ -e "$out/before/$rel" ]] || { echo "new after: $rel"; status=1; }
done < <(find "$out/after" -type f -print0 | sort -z)
echo "$count files compared; $([[ $status == 0 ]] && echo "all identical" || echo "differences above")"
exit $status
