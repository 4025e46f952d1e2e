#!/bin/bash
# Runs each fuzz target for a bounded time:
#   fuzz/run.sh BUILD_DIR SECONDS TARGET...
# Each target grows a working corpus in BUILD_DIR/corpus/TARGET from the
# seeds in fuzz/corpus/TARGET (which stay untouched) and writes its output to
# BUILD_DIR/TARGET.log; a crashing input lands in BUILD_DIR/artifacts/. Fails
# when any target does.
set -u
build=$1
seconds=$2
shift 2
seeds=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$build/artifacts"
failed=
for target in "$@"; do
  mkdir -p "$build/corpus/$target"
  log=$build/$target.log
  "$build/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$build/corpus/$target" "$seeds/$target" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  inputs=$(ls "$build/corpus/$target" | wc -l)
  if [ $status -eq 0 ]; then
    echo "fuzz: $target: ${runs:-?} runs in ${seconds} s, corpus of $inputs inputs, no finding"
  else
    echo "fuzz: $target: FAILED (exit $status) after ${runs:-?} runs; see $log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*_fuzz: )' "$log" | head -5
    ls "$build"/artifacts/"$target"-* 2>/dev/null | head -3
    failed="$failed $target"
  fi
done
[ -z "$failed" ] || { echo "fuzz: FAILED:$failed"; exit 1; }
