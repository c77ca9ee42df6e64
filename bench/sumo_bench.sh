#!/usr/bin/env bash
# Figures of varnel-sumo on the generated 4x4 grid (about 200 vehicles once the
# traffic has built up): graph calls per step and their share of the step time,
# how many simulated seconds the record holds without a window (until the first
# reset), and a long run with --window 5 (compaction: no reset, fill over time).
# Not a timed test; prints one JSON report per run and a summary.
#
#   bench/sumo_bench.sh [SECONDS [WINDOW_SECONDS]]
#       SECONDS: simulated seconds without a window (default 120)
#       WINDOW_SECONDS: simulated seconds with --window 5 (default 3600)
# Opens sockets: run it inside a network namespace of its own, and with a
# private /dev/shm if another process may hold "KnowledgeGraph", e.g.
#   unshare -rnm sh -c 'ip link set lo up && mount -t tmpfs tmpfs /dev/shm && bench/sumo_bench.sh'
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
  ''|*[!0-9]*) [ -z "${1:-}" ] || { echo "bench/sumo_bench.sh: SECONDS must be a whole number (see --help)" >&2; exit 2; } ;;
esac
case "${2:-}" in
  *[!0-9]*) echo "bench/sumo_bench.sh: WINDOW_SECONDS must be a whole number (see --help)" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
out=build/sumo-bench
mkdir -p "$out"
run() {  # window, simulated seconds
  PYTHONPATH=$PWD/build/linux/python tools/sumo/varnel-sumo --grid --period 0.5 --duration "$2" \
    --window "$1" --quiet --keep-dir "$out" --report "$out/window-$1.json"
  echo "== --window $1"; cat "$out/window-$1.json"; echo
}
run 0 "${1:-120}"
run 5 "${2:-3600}"
python3 - "$out" <<'PY'
import json, sys
for window in (0, 5):
    r = json.load(open(f"{sys.argv[1]}/window-{window}.json"))
    at = r["resets_at_s"]
    gaps = [b - a for a, b in zip(at, at[1:])]
    held = (f"held {at[0]:.1f} simulated s before the first reset"
            + (f", then {min(gaps):.1f}-{max(gaps):.1f} s between resets" if gaps else "") if at
            else f"{r['simulated_s']:.0f} simulated s without a reset ({r['compactions']} compactions, "
                 f"fill at most {100 * r['max_fill']:.0f}%)")
    samples = r["fill_over_time"]
    if samples:
        print(f"--window {window}: (simulated s, fill, vehicles) every 100 s: "
              + " ".join(f"({t:.0f}, {100 * f:.0f}%, {v})" for t, f, v in samples[9::10]))
    print(f"--window {window}: up to {r['most_vehicles']} vehicles, {r['writes_per_step']:.0f} graph calls "
          f"per step, {100 * r['graph_share']:.0f}% of the step time, longest step's graph work "
          f"{r['longest_graph_step_ms']:.0f} ms; {held}")
PY
