#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (library and targets under ASan
# and UBSan) and runs each in turn until it has executed FUZZ_RUNS inputs
# or spent its seconds, whichever comes first; then prints, per target,
# executions, executions a second and findings.
#
# Usage: scripts/fuzz.sh [seconds per target, default 1800] [target[:seconds]...]
#        scripts/fuzz.sh --merge [target...]
#   FUZZ_RUNS      inputs per target (default 10000000)
#   FUZZ_BUILD     build folder (default build-fuzz)
#   FUZZ_TABLES=1  run the context targets (gainmap add_raw add_raw_2pd
#                  dccmap) with every input on each kernel table the CPU
#                  has, stopping on the first input whose results differ
# A target named with :seconds gets its own time budget, e.g. dccmap:600.
# New interesting inputs go to $FUZZ_BUILD/corpus/<target>; a crash input is
# written to fuzz/corpus/<target>/ so the replay tests keep it fixed for good.
# Logs are in $FUZZ_BUILD/logs/<target>.log.
# --merge minimises the seed corpus and the scratch corpus of each target
# into a fresh folder and puts the result in fuzz/corpus/<target>/ (named
# seeds and crash inputs stay).
set -euo pipefail
TIMEFORMAT='%U %S'
cd "$(dirname "$0")/.."
all=(read_block write_blocks validate_sensor_cfg gainmap add_raw add_raw_2pd dccmap manifest_records frame_files)
build=${FUZZ_BUILD:-build-fuzz}
runs=${FUZZ_RUNS:-10000000}
merge=0
if [ "${1:-}" = "--merge" ]; then
  merge=1
  shift
fi
secs=1800
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  secs=$1
  shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

bash scripts/deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DORVANE_FUZZ=ON -DORVANE_BUILD_TOOLS=OFF \
  -DORVANE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mkdir -p "$build/logs"
# The library's own diagnostics go to stdout and are dropped; libFuzzer and
# the sanitizers report on stderr.
common=(-rss_limit_mb=4096 -malloc_limit_mb=4096 -timeout=60 -print_final_stats=1)

if [ $merge = 1 ]; then
  for t in "${targets[@]}"; do
    t=${t%%:*}
    cmake --build "$build" -j 2 --target "fuzz_$t" >/dev/null
    fresh="$build/merged/$t"
    rm -rf "$fresh"
    mkdir -p "$fresh" "$build/corpus/$t"
    # Edges only, not hit counts: a few hundred files per target, not thousands.
    "./$build/fuzz/fuzz_$t" -merge=1 -use_counters=0 "${common[@]}" "$fresh" "fuzz/corpus/$t" \
      "$build/corpus/$t" >/dev/null 2>"$build/logs/$t.merge.log"
    # Named seeds and crash inputs stay; the inputs the fuzzer found (named by
    # their SHA-1) are replaced by the minimised set, less copies of the seeds.
    find "fuzz/corpus/$t" -maxdepth 1 -type f -regextype egrep -regex '.*/[0-9a-f]{40}' -delete
    cp "$fresh"/* "fuzz/corpus/$t/"
    for f in "fuzz/corpus/$t"/*; do
      [[ "$(basename "$f")" =~ ^[0-9a-f]{40}$ ]] && continue
      rm -f "fuzz/corpus/$t/$(sha1sum "$f" | cut -c1-40)"
    done
    echo "$t: $(ls "fuzz/corpus/$t" | wc -l) files, $(du -sk "fuzz/corpus/$t" | cut -f1) KB"
  done
  exit 0
fi

summary=()
for entry in "${targets[@]}"; do
  t=${entry%%:*}
  s=$secs
  [ "$entry" = "$t" ] || s=${entry#*:}
  bin="fuzz_$t"
  [ "${FUZZ_TABLES:-0}" = 1 ] && bin="fuzz_${t}_tables"
  cmake --build "$build" -j 2 --target "$bin" >/dev/null
  mkdir -p "$build/corpus/$t"
  log="$build/logs/$bin.log"
  before=$(ls fuzz/corpus/$t | grep -cE '^(crash|leak|timeout|oom|slow-unit)-' || true)
  echo "== $bin: up to $runs inputs or ${s}s ($(date +%H:%M:%S))"
  start=$(date +%s)
  rc=0
  # CPU seconds too: on a shared machine the wall-clock rate says little.
  { time "./$build/fuzz/$bin" -runs="$runs" -max_total_time="$s" "${common[@]}" \
      -artifact_prefix="fuzz/corpus/$t/" "$build/corpus/$t" "fuzz/corpus/$t" \
      >/dev/null 2>"$log" || rc=$?; } 2>"$build/logs/$bin.cpu"
  took=$(( $(date +%s) - start ))
  cpu=$(awk '{printf "%.0f", $1 + $2}' "$build/logs/$bin.cpu")
  after=$(ls fuzz/corpus/$t | grep -cE '^(crash|leak|timeout|oom|slow-unit)-' || true)
  execs=$(awk '/^stat::number_of_executed_units/ {print $2}' "$log")
  rate=$(awk '/^stat::average_exec_per_sec/ {print $2}' "$log")
  per_cpu=$(awk -v e="${execs:-0}" -v c="$cpu" 'BEGIN {printf "%d", (c > 0) ? e / c : 0}')
  line=$(printf '%-20s %10s execs %7s exec/s %6ss (%ss CPU, %s exec/CPU-s)  findings %d  exit %d' \
    "$bin" "${execs:-?}" "${rate:-?}" "$took" "$cpu" "$per_cpu" $((after - before)) "$rc")
  echo "$line"
  summary+=("$line")
done
echo "== summary"
printf '%s\n' "${summary[@]}"
