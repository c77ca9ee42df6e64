#!/usr/bin/env bash
# The performance table, reproducibly: builds the linux preset's benchmark
# program (RelWithDebInfo), runs the table's benchmarks pinned to one core with
# their repetitions interleaved at random (each comparison pair side by side in
# one process), and runs again with more repetitions while any row's spread is
# 5 % or more (three rounds at most; the table is the round with the fewest rows
# that did not settle, and says which those are). The benchmarks across
# processes (a write seen by a spinning reader, a commit waking a sleeping one)
# and the writer with a recorder need two cores and run apart; with one
# processor their rows are left out.
#
#   bench/run.sh            print the table
#   bench/run.sh --write    also put it into README.md and bench/RESULTS.md
#   VARNEL_BENCH_CORE=N     the core to pin to (default: the second this
#                           process may use, or its only one)
#
# Its regions and LMDB go to a /dev/shm of its own (a private mount namespace,
# where the system allows one), so nothing is left behind. Run it on a quiet
# machine; it takes about ten minutes.
set -euo pipefail
write=()
case "${1:-}" in
  "") ;;
  --write) write=(--write README.md bench/RESULTS.md) ;;
  -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
  *) echo "bench/run.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
if [ -z "${VARNEL_BENCH_PRIVATE_SHM:-}" ] && unshare -rm true 2>/dev/null; then
  exec unshare -rm env VARNEL_BENCH_PRIVATE_SHM=1 bash -c \
    'mount -t tmpfs tmpfs /dev/shm && exec bash bench/run.sh "$@"' bench/run.sh "$@"
fi
[ -n "${VARNEL_BENCH_PRIVATE_SHM:-}" ] ||
  echo "note: no private /dev/shm here; the run's regions (/dev/shm/varnel-bench-*) stay after it"
# The processors this process may run on, in order.
read -r -a cpus <<<"$(python3 -c 'import os; print(*sorted(os.sched_getaffinity(0)))')"
pair=""
[ "${#cpus[@]}" -ge 2 ] && pair="${cpus[0]},${cpus[1]}"
cmake --preset linux >/dev/null
cmake --build --preset linux --target varnel_bench >/dev/null
out=build/bench
mkdir -p "$out"
core="${VARNEL_BENCH_CORE:-${cpus[1]:-${cpus[0]}}}"
filter='^BM_(AddNode|AddNodeFloor|LookupHitNearTail|LookupHitSlot0FullKind|NodesOfTypeFullKind|NodesOfTypeNewestPercent|AllNodes|IteratorWalkFullKind|RemoveNode80Relations|AddRelationDeep|ReaderSnapshot|LmdbPutVersion|LmdbAppendVersion|LmdbKindRange|LmdbGetLatest)(/|$)'
load=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load average before the run: $load; pinned to core $core"
# Each round's file is kept; the table is made from the round with the fewest
# rows that did not settle (a burst of other work in a later round does not
# replace a quieter earlier one).
unsettled() { python3 bench/figures.py spread "$1" | grep -c "spread over" || true; }
best=""; best_over=""; repetitions=0
for round in 5 9 15; do
  echo "-- $round repetitions"
  taskset -c "$core" build/linux/bench/varnel_bench --benchmark_filter="$filter" \
    --benchmark_repetitions="$round" --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.2 --benchmark_out="$out/table-$round.json" --benchmark_out_format=json >/dev/null
  python3 bench/figures.py spread "$out/table-$round.json" || true
  over=$(unsettled "$out/table-$round.json")
  if [ -z "$best" ] || [ "$over" -lt "$best_over" ]; then
    best="$out/table-$round.json"; best_over=$over; repetitions=$round
  fi
  [ "$over" -eq 0 ] && break
done
cp "$best" "$out/table.json"
echo "the table: the round of $repetitions repetitions ($best_over rows over 5 %)"
two_cores=()
if [ -n "$pair" ]; then
  taskset -c "$pair" build/linux/bench/varnel_bench \
    --benchmark_filter='^BM_(VisibilityAcrossProcesses|CommitToReaderAcrossProcesses)' \
    --benchmark_out="$out/visibility.json" --benchmark_out_format=json >/dev/null
  # The writer with a recorder attached, in another process and as a thread of
  # its own: writer and recorder on a core each (the benchmark pins them), both
  # sides of each comparison interleaved in one run.
  recorded_best=""; recorded_over=""
  for round in 9 15; do
    taskset -c "$pair" build/linux/bench/varnel_bench \
      --benchmark_filter='^BM_AddNodeRecorded(AcrossProcesses)?(/|$)' \
      --benchmark_repetitions="$round" --benchmark_enable_random_interleaving=true \
      --benchmark_min_time=0.2 --benchmark_out="$out/recorded-$round.json" --benchmark_out_format=json >/dev/null
    over=$(unsettled "$out/recorded-$round.json")
    if [ -z "$recorded_best" ] || [ "$over" -lt "$recorded_over" ]; then
      recorded_best="$out/recorded-$round.json"; recorded_over=$over
    fi
    [ "$over" -eq 0 ] && break
  done
  cp "$recorded_best" "$out/recorded.json"
  two_cores=("$out/visibility.json" --recorded "$out/recorded.json")
else
  echo "one processor: the rows across processes and with a recorder are left out"
fi
echo
python3 bench/figures.py table "$out/table.json" "${two_cores[@]}" --load "$load" \
  --commit "$(git rev-parse --short HEAD)" --repetitions "$repetitions" "${write[@]}"
