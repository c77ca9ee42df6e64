#!/usr/bin/env bash
# varnel-bridge latency and rate beside plain Fast DDS, on the same loopback UDP
# transport (tools/bridge/tests/loopback.xml) and QoS, in a private network
# namespace and /dev/shm. Prints the table; not a timed test.
#
#   bench/bridge_bench.sh [POLL_MICROS]    (the publisher's --poll-us, default 200)
set -euo pipefail
cd "$(dirname "$0")/.."
poll=${1:-200}
cmake --build --preset linux -j2 --target varnel-bridge varnel_bridge_bench >/dev/null
namespaces="unshare -n -m"
[ "$(id -u)" -eq 0 ] || namespaces="unshare -r -n -m"
$namespaces bash -c '
  set -euo pipefail
  ip link set lo up
  mount -t tmpfs -o size=4g tmpfs /dev/shm
  export FASTRTPS_DEFAULT_PROFILES_FILE=$PWD/tools/bridge/tests/loopback.xml
  b=build/linux/tools/bridge/varnel-bridge
  bench=build/linux/bench/varnel_bridge_bench
  $bench echo & echo_pid=$!
  $bench ping
  wait $echo_pid
  $b mirror --region bench-mirror --status 0 & mirror_pid=$!
  $b publish --status 0 --poll-us '"$poll"' & publisher_pid=$!
  $bench bridge bench-mirror
  kill $mirror_pid $publisher_pid; wait
'
