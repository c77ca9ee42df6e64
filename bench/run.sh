#!/usr/bin/env bash
# Builds the linux preset's benchmark program and runs it: repetitions sensible
# for a 2-core machine, medians printed. Extra arguments go to the benchmark
# (e.g. --benchmark_filter=Lookup).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build --preset linux --target varnel_bench
build/linux/bench/varnel_bench --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_display_aggregates_only=true \
  --benchmark_counters_tabular=true "$@" 2>&1 | grep -v -E "_(mean|stddev|cv) "
