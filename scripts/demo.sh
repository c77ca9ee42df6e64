#!/usr/bin/env bash
# The live demo: builds the Linux preset, runs varnel-demo (a host that writes a
# moving road-traffic scene into the shared region "KnowledgeGraph") in the
# background, shows the scene with varnel-inspect from another process, and
# leaves a picture of it in build/scene.svg. Meanwhile `varnel-inspect serve`
# shows the live scene at http://127.0.0.1:8765/ (a page for any browser; robotics
# viewers connect to ws://127.0.0.1:8765 with foxglove.websocket.v1); set
# VARNEL_SERVE_PORT for another port, 0 for none.
#
#   scripts/demo.sh [SECONDS]     run the demo host for SECONDS (default 20)
#   scripts/demo.sh --sumo [SECONDS]
#                                 the same with real traffic: varnel-sumo runs SUMO on a
#                                 generated 4x4 grid with random trips (SECONDS simulated,
#                                 default 60, paced to the wall clock), in a network
#                                 namespace of its own; the pictures are build/sumo-map.svg
#                                 (a map of the scene) and build/sumo-scene.svg (the graph)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
varnel_install_missing

# start_serve: the live scene for browsers and robotics viewers while the host runs.
serve_port=${VARNEL_SERVE_PORT:-8765}
server=""
start_serve() {
  [ "$serve_port" != 0 ] || return 0
  build/linux/tools/varnel-inspect serve --port "$serve_port" >build/serve.log 2>&1 &
  server=$!
  for _ in $(seq 30); do grep -q "http://" build/serve.log && break; kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
  if grep -q "http://" build/serve.log; then
    echo "== the live scene: open http://127.0.0.1:$serve_port/ in a browser, or connect a robotics viewer"
    echo "   (Foxglove: Open connection, Foxglove WebSocket, ws://127.0.0.1:$serve_port; 3D panel on /scene)"
  else
    echo "(varnel-inspect serve did not start, see build/serve.log; the demo goes on without it)"
    server=""
  fi
}
stop_serve() { [ -z "$server" ] || { kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; }; }

if [ "${1:-}" = "--sumo" ]; then
  seconds=${2:-60}
  echo "== building (preset linux)"
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$(nproc)" --target varnel varnel-inspect
  inspect=build/linux/tools/varnel-inspect
  if "$inspect" stats >/dev/null 2>&1; then
    echo "varnel-sumo: the region \"KnowledgeGraph\" is already held by another process; stop it first" >&2
    exit 1
  fi
  netns="unshare -n"
  [ "$(id -u)" -eq 0 ] || netns="unshare -rn"
  echo "== starting SUMO and varnel-sumo for ${seconds} simulated s (log: build/sumo-host.log)"
  # SUMO's TraCI server would listen on every interface: give it only a loopback.
  $netns sh -c "ip link set lo up && PYTHONPATH=$PWD/build/linux/python exec tools/sumo/varnel-sumo \
    --grid --duration $seconds --realtime --hold --keep-dir build/sumo --picture build/sumo-map.svg" </dev/null >build/sumo-host.log 2>&1 &
  host=$!
  trap 'kill "$host" 2>/dev/null || true; stop_serve' EXIT
  for _ in $(seq 100); do "$inspect" stats >/dev/null 2>&1 && break; sleep 0.2; done
  start_serve
  echo "== the live scene, read by another process (varnel-inspect watch)"
  "$inspect" watch --interval 2 --count $(( seconds / 4 > 1 ? seconds / 4 : 1 )) --no-clear --limit 6 || true
  until grep -q "holding the region" build/sumo-host.log; do
    kill -0 "$host" 2>/dev/null || break; sleep 0.5
  done
  echo; echo "== varnel-inspect stats"
  "$inspect" stats | head -14
  echo; echo "== picture of the scene"
  "$inspect" dot --svg build/sumo-scene.svg --output build/sumo-scene.svg.dot
  kill -TERM "$host" 2>/dev/null || true
  wait "$host" || true
  stop_serve
  trap - EXIT
  echo; echo "== the host's log (build/sumo-host.log), last lines"
  tail -3 build/sumo-host.log
  echo
  echo "Map of the scene: $PWD/build/sumo-map.svg"
  echo "The graph:        $PWD/build/sumo-scene.svg (Graphviz source: build/sumo-scene.svg.dot)"
  exit 0
fi

seconds=${1:-20}
echo "== building (preset linux)"
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target varnel-demo varnel-inspect varnel_interface

tools=build/linux/tools
inspect="$tools/varnel-inspect"
if "$inspect" stats >/dev/null 2>&1; then
  echo "varnel-demo: the region \"KnowledgeGraph\" is already held by another process; stop it first" >&2
  exit 1
fi

echo "== starting the demo host for ${seconds}s: $tools/varnel-demo --duration $seconds"
"$tools/varnel-demo" --duration "$seconds" --rate 10 --cars 24 --seed 1 >build/demo-host.log 2>&1 &
host=$!
trap 'kill "$host" 2>/dev/null || true; stop_serve' EXIT
for _ in $(seq 50); do "$inspect" stats >/dev/null 2>&1 && break; sleep 0.2; done
start_serve

echo "== the live scene, read by another process (varnel-inspect watch)"
watch_rounds=$(( seconds > 12 ? 6 : seconds / 2 ))
"$inspect" watch --interval 1 --count "$watch_rounds" --no-clear --limit 8 || true

echo; echo "== varnel-inspect stats"
"$inspect" stats | head -12
echo; echo "== varnel-inspect relations --kind isBehind"
"$inspect" relations --kind isBehind | head -5

echo; echo "== picture of the scene"
"$inspect" dot --svg build/scene.svg --output build/scene.svg.dot
"$inspect" save build/scene.varnel

wait "$host" || true
stop_serve
trap - EXIT
echo; echo "== the host's log (build/demo-host.log), last lines"
tail -4 build/demo-host.log
echo
echo "Scene picture: $PWD/build/scene.svg (Graphviz source: build/scene.svg.dot)"
echo "Saved scene:   $PWD/build/scene.varnel  (replay: $inspect load build/scene.varnel --hold -1,"
echo "               read it offline: $inspect --file build/scene.varnel nodes --kind Car)"
