#!/bin/sh
# Runs every fuzz target for a bounded time from its seed corpus; fails on
# the first finding (the crashing input is left as crash-* in the build dir).
# Usage: fuzz/run.sh [SECONDS_EACH] [BUILD_DIR]   (default 30 s, build/fuzz)
# FUZZ_SEED fixes libFuzzer's seed, so that a gate sees the same inputs on
# every run; without it each run explores afresh.
set -eu
seconds=${1:-30}
build=$(cd "${2:-build/fuzz}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for target in fuzz_replies fuzz_point_names fuzz_station_file fuzz_channel_blocks; do
  work="$build/fuzz/corpus-$target"
  log="$build/fuzz/$target.log"
  mkdir -p "$work"
  echo "== $target, $seconds s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 ${FUZZ_SEED:+-seed="$FUZZ_SEED"} \
      -artifact_prefix="$build/fuzz/" "$work" "$here/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$log" || true
done
