#!/usr/bin/env bash
# The server's added cost to a 10 Hz host and its commit -> client latency.
# Run inside a network namespace with only lo up and a private /dev/shm:
#   unshare -rnm sh -c 'ip link set lo up && mount -t tmpfs tmpfs /dev/shm && bench/serve/measure.sh build/linux'
set -euo pipefail
build="$(cd "${1:-build/linux}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
root="$here/../.."
seconds=${SECONDS_PER_RUN:-20}
work="$build/serve_bench"
mkdir -p "$work"
cc -O2 -I "$root/varnel-interface/include" "$here/latency_host.c" -L "$build/varnel-interface" \
  -Wl,-rpath,"$build/varnel-interface" -lvarnel_interface -o "$work/latency_host"
echo "-- without a server"
"$work/latency_host" "$seconds"
echo "-- with varnel-inspect serve and one client on /scene"
"$work/latency_host" "$seconds" &
host=$!
sleep 0.5
"$build/tools/varnel-inspect" serve --port 0 --time-unit us >"$work/serve.log" 2>&1 &
server=$!
for _ in $(seq 50); do grep -q "http://" "$work/serve.log" && break; sleep 0.1; done
port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/serve.log")
(cd "$root/tools/tests/serve_client" && node latency_client.mjs "ws://127.0.0.1:$port/" $((seconds - 3)))
read -r _ _ _ _ _ _ _ _ _ _ _ _ _ utime stime _ <"/proc/$server/stat"
echo "server: $(( (utime + stime) * 1000 / $(getconf CLK_TCK) )) ms of CPU in about ${seconds} s"
wait "$host"
kill "$server"; wait "$server" || true
