#!/usr/bin/env bash
# The performance table, reproducibly: builds the linux preset's benchmark
# program (RelWithDebInfo), runs the table's benchmarks pinned to one core with
# their repetitions interleaved at random (each comparison pair side by side in
# one process), and runs again with more repetitions while any row's spread is
# 5 % or more (three rounds at most; the table then says which rows did not
# settle). The cross-process benchmarks (a write seen by a spinning reader, a
# commit waking a sleeping one) need two cores and run apart, once.
#
#   bench/run.sh            print the table
#   bench/run.sh --write    also put it into README.md and bench/RESULTS.md
#   VARNEL_BENCH_CORE=0     the core to pin to (default 1)
#
# It maps regions of its own and an LMDB in /dev/shm; run it on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."
write=()
[ "${1:-}" = "--write" ] && write=(--write README.md bench/RESULTS.md)
cmake --preset linux >/dev/null
cmake --build --preset linux --target varnel_bench >/dev/null
out=build/bench
mkdir -p "$out"
core="${VARNEL_BENCH_CORE:-1}"
filter='^BM_(AddNode|AddNodeFloor|LookupHitNearTail|LookupHitSlot0FullKind|NodesOfTypeFullKind|NodesOfTypeNewestPercent|AllNodes|IteratorWalkFullKind|RemoveNode80Relations|AddRelationDeep|ReaderSnapshot|LmdbPutVersion|LmdbAppendVersion|LmdbKindRange|LmdbGetLatest)(/|$)'
load=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load average before the run: $load; pinned to core $core"
repetitions=0
for repetitions in 5 9 15; do
  echo "-- $repetitions repetitions"
  taskset -c "$core" build/linux/bench/varnel_bench --benchmark_filter="$filter" \
    --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.2 --benchmark_out="$out/table.json" --benchmark_out_format=json >/dev/null
  if python3 bench/figures.py spread "$out/table.json"; then break; fi
done
taskset -c 0,1 build/linux/bench/varnel_bench \
  --benchmark_filter='^BM_(VisibilityAcrossProcesses|CommitToReaderAcrossProcesses)' \
  --benchmark_out="$out/visibility.json" --benchmark_out_format=json >/dev/null
# The writer with a recorder attached, in another process and as a thread of its
# own: writer and recorder on a core each (the benchmark pins them), both sides of
# each comparison interleaved in one run.
taskset -c 0,1 build/linux/bench/varnel_bench --benchmark_filter='^BM_AddNodeRecorded(AcrossProcesses)?(/|$)' \
  --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
  --benchmark_min_time=0.2 --benchmark_out="$out/recorded.json" --benchmark_out_format=json >/dev/null
echo
python3 bench/figures.py table "$out/table.json" "$out/visibility.json" --recorded "$out/recorded.json" --load "$load" \
  --commit "$(git rev-parse --short HEAD)" --repetitions "$repetitions" "${write[@]}"
