#!/usr/bin/env bash
# Figures of varnel-sumo on the generated 4x4 grid (about 200 vehicles once the
# traffic has built up): graph calls per step and their share of the step time,
# and how many simulated seconds the record holds without a window and with
# --window 5. Not a timed test; prints one JSON report per run.
#
#   bench/sumo_bench.sh [SIMULATED_SECONDS]    (default 120)
# Needs a private /dev/shm if another process may hold "KnowledgeGraph".
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
out=build/sumo-bench
mkdir -p "$out"
netns="unshare -n"
[ "$(id -u)" -eq 0 ] || netns="unshare -rn"
for window in 0 5; do
  $netns sh -c "ip link set lo up && PYTHONPATH=$PWD/build/linux/python tools/sumo/varnel-sumo --grid \
    --period 0.5 --duration $seconds --window $window --quiet --keep-dir $out --report $out/window-$window.json"
  echo "== --window $window"; cat "$out/window-$window.json"; echo
done
