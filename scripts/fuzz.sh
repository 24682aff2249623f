#!/usr/bin/env bash
# Builds the libFuzzer targets and runs one (or all) for a while.
#
#   scripts/fuzz.sh TARGET|all SECONDS [extra libFuzzer options]
#
# TARGET is one of huffman_decode, inflate, driver_decompress, round_trip, messages,
# media (the tool's readers; needs FFmpeg's development files).
# The build goes to $KESTRUN_FUZZ_BUILD (default build-fuzz). Each target
# starts from the committed seeds in fuzz/corpus/TARGET and keeps what it
# learns in BUILD/corpus/TARGET, so later runs continue from there. A crash
# or failed check stops the run with a non-zero status and leaves the input
# in BUILD/artifacts/; copy it into fuzz/corpus/TARGET as a regression seed.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
target=$1
seconds=$2
shift 2
build=${KESTRUN_FUZZ_BUILD:-build-fuzz}
jobs=${KESTRUN_JOBS:-2}

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUN_FUZZ=ON -DKESTRUN_TESTS=OFF -DKESTRUN_BENCH=OFF -DKESTRUN_TOOLS=ON >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

targets=$target
[ "$target" = all ] && targets="huffman_decode inflate driver_decompress round_trip messages media"
status=0
for t in $targets; do
  [ -x "$build/fuzz/fuzz_$t" ] || { echo "unknown target: $t" >&2; exit 2; }
  mkdir -p "$build/corpus/$t" "$build/artifacts"
  log="$build/fuzz-$t.log"
  echo "fuzz_$t: ${seconds}s"
  if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t-" "$@" "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    status=1
    echo "fuzz_$t FAILED; log: $log" >&2
    grep -E -A30 "ERROR|runtime error|check failed|SUMMARY" "$log" | head -60 >&2 || true
    ls -1 "$build/artifacts/$t-"* >&2 2>/dev/null || true
  fi
  # Executions and what the corpus covers.
  grep -E "^stat::number_of_executed_units|^Done|DONE" "$log" | tail -2 | sed "s/^/  /"
done
exit $status
