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
# A target named with :seconds gets its own time budget, e.g. dccmap:600.
# New interesting inputs go to $FUZZ_BUILD/corpus/<target>; a crash input is
# written to fuzz/corpus/<target>/ so the replay tests keep it fixed for good.
# Logs are in $FUZZ_BUILD/logs/<target>.log.
# --merge minimises the seed corpus and the scratch corpus of each target
# into a fresh folder and puts the result in fuzz/corpus/<target>/ (crash
# inputs stay).
set -euo pipefail
cd "$(dirname "$0")/.."
all=(read_block write_blocks validate_sensor_cfg gainmap add_raw add_raw_2pd dccmap)
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
    "./$build/fuzz/fuzz_$t" -merge=1 "${common[@]}" "$fresh" "fuzz/corpus/$t" "$build/corpus/$t" \
      >/dev/null 2>"$build/logs/$t.merge.log"
    find "fuzz/corpus/$t" -maxdepth 1 -type f ! -name 'crash-*' -delete
    cp "$fresh"/* "fuzz/corpus/$t/"
    echo "$t: $(ls "fuzz/corpus/$t" | wc -l) files, $(du -sk "fuzz/corpus/$t" | cut -f1) KB"
  done
  exit 0
fi

summary=()
for spec in "${targets[@]}"; do
  t=${spec%%:*}
  s=$secs
  [ "$spec" = "$t" ] || s=${spec#*:}
  cmake --build "$build" -j 2 --target "fuzz_$t" >/dev/null
  mkdir -p "$build/corpus/$t"
  log="$build/logs/$t.log"
  before=$(ls fuzz/corpus/$t | grep -cE '^(crash|leak|timeout|oom|slow-unit)-' || true)
  echo "== fuzz_$t: up to $runs inputs or ${s}s ($(date +%H:%M:%S))"
  start=$(date +%s)
  rc=0
  "./$build/fuzz/fuzz_$t" -runs="$runs" -max_total_time="$s" "${common[@]}" \
    -artifact_prefix="fuzz/corpus/$t/" "$build/corpus/$t" "fuzz/corpus/$t" \
    >/dev/null 2>"$log" || rc=$?
  took=$(( $(date +%s) - start ))
  after=$(ls fuzz/corpus/$t | grep -cE '^(crash|leak|timeout|oom|slow-unit)-' || true)
  execs=$(awk '/^stat::number_of_executed_units/ {print $2}' "$log")
  rate=$(awk '/^stat::average_exec_per_sec/ {print $2}' "$log")
  line=$(printf '%-20s %12s execs %8s exec/s %6ss  findings %d  exit %d' \
    "$t" "${execs:-?}" "${rate:-?}" "$took" $((after - before)) "$rc")
  echo "$line"
  summary+=("$line")
done
echo "== summary"
printf '%s\n' "${summary[@]}"
