#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each for a while (default 60 s) on a
# copy of the seed corpus. Usage: tests/fuzz/run.sh [seconds-per-target]
set -euo pipefail
seconds=${1:-60}
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build/fuzz
CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATHWARDEN_FUZZ=ON \
  -DPATHWARDEN_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target report_fuzz command_line_fuzz utf16_fuzz >/dev/null
for target in report command_line utf16; do
  work=$build/corpus-$target
  rm -rf "$work" && mkdir -p "$work"
  cp "$top/tests/fuzz/corpus/$target"/* "$work"/
  echo "== $target: ${seconds}s"
  # The last lines libFuzzer prints give the executions run and the coverage.
  "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 "$work" \
    2>"$build/$target.log" || { tail -40 "$build/$target.log"; exit 1; }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb|cov:" "$build/$target.log" | tail -3
done
echo "fuzzing: no crash, no leak, no undefined behaviour found"
