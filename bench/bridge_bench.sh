#!/usr/bin/env bash
# varnel-bridge beside plain Fast DDS in one run, on the same loopback UDP
# transport (tools/bridge/tests/loopback.xml) and QoS, in a private network
# namespace and /dev/shm: publications of 1, 10 and 100 node versions, medians
# and p99s, once at rest and once while a compile job runs. Prints the table;
# not a timed test.
#
#   bench/bridge_bench.sh [--sustained] [PUBLISH_OPTIONS...]
#     --sustained: afterwards, the rate the mirror keeps up with.
#     PUBLISH_OPTIONS go to varnel-bridge publish as they are (e.g. --busy-us 0).
#   BRIDGE_BENCH_LOAD_JOBS (default: the number of processors) compilers, each a
#   loop compiling knowledge-graph/src/graph/knowledge_graph.cpp with g++ -O2
#   under nice BRIDGE_BENCH_NICE (default 10); BRIDGE_BENCH_LOAD_JOBS=0: at rest only.
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
esac
cd "$(dirname "$0")/.."
sustained=0
if [ "${1:-}" = "--sustained" ]; then sustained=1; shift; fi
extra="$*"
jobs=${BRIDGE_BENCH_LOAD_JOBS:-$(nproc)}
niceness=${BRIDGE_BENCH_NICE:-10}
cmake --build --preset linux -j2 --target varnel-bridge varnel_bridge_bench >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
load=""
if [ "$jobs" -gt 0 ]; then
  compile="g++ -O2 -std=c++20 -Iknowledge-graph/include -Iinterval-algebra/include \
-c knowledge-graph/src/graph/knowledge_graph.cpp"
  load="for j in \$(seq $jobs); do (while :; do nice -n $niceness $compile -o $scratch/load-\$j.o; done) & done; wait"
  echo "compile job: $jobs x 'nice -n $niceness $compile' in a loop"
fi
echo "publisher: varnel-bridge publish ${extra:-(defaults)}"
namespaces="unshare -n -m"
[ "$(id -u)" -eq 0 ] || namespaces="unshare -r -n -m"
LOAD="$load" EXTRA="$extra" SUSTAINED="$sustained" $namespaces bash -c '
  set -euo pipefail
  ip link set lo up
  mount -t tmpfs -o size=4g tmpfs /dev/shm
  export FASTRTPS_DEFAULT_PROFILES_FILE=$PWD/tools/bridge/tests/loopback.xml
  b=build/linux/tools/bridge/varnel-bridge
  bench=build/linux/bench/varnel_bridge_bench
  $bench echo & echo_pid=$!
  $b mirror --region bench-mirror --status 0 & mirror_pid=$!
  $b publish --status 0 $EXTRA & publisher_pid=$!
  status=0
  if [ -n "$LOAD" ]; then $bench run bench-mirror "$LOAD" || status=1; else $bench run bench-mirror || status=1; fi
  if [ "$SUSTAINED" = 1 ] && [ $status = 0 ]; then $bench sustained bench-mirror || status=1; fi
  kill $echo_pid $mirror_pid $publisher_pid; wait
  exit $status
'
