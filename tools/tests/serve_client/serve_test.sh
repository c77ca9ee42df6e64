#!/usr/bin/env bash
# The clients of varnel-inspect serve, against the demo host: the viewers'
# protocol client with the viewers' schemas and hostile clients, a recording
# with --scene read by the reference MCAP reader, a recording served with
# --file, and the page in headless chromium. Run inside a network namespace
# with only lo up and a /dev/shm of its own (scripts/test.sh serve does so).
#
#   tools/tests/serve_client/serve_test.sh BUILD_DIR [OUTPUT_DIR]
set -euo pipefail
build="$(cd "$1" && pwd)"
out="${2:-$build/serve_test}"
here="$(cd "$(dirname "$0")" && pwd)"
tools="$build/tools"
mkdir -p "$out"
source "$here/../../../scripts/background.sh"
trap stop_background EXIT

# start_serve LOG ARGS...: starts the server on a free port; sets $port.
start_serve() {
  local log="$1"
  shift
  "$tools/varnel-inspect" serve --port 0 "$@" >"$log" 2>&1 &
  for _ in $(seq 100); do grep -q "http://" "$log" && break; sleep 0.1; done
  port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$log")
  [ -n "$port" ] || { echo "the server did not start:"; cat "$log"; return 1; }
}

echo "-- live: the viewers' client, hostile clients and the page, while the demo runs"
"$tools/varnel-demo" --duration 30 --rate 10 --cars 24 --seed 1 >"$out/demo.log" 2>&1 &
demo=$!
sleep 1
start_serve "$out/serve.log" --max-clients 16
(cd "$here" && VARNEL_SERVE_MAX_CLIENTS=16 VARNEL_EXPECT_REMOVALS=1 VARNEL_EXPECT_REALTIME=1 node check_serve.mjs "ws://127.0.0.1:$port/" 10)
(cd "$here" && node check_page.mjs "http://127.0.0.1:$port/" "$out")
echo "-- record --scene, read by the reference MCAP reader"
rm -f "$out/scene.mcap"
# Plain chunks: this reader is @mcap/core alone (zstd and lz4 chunks are read
# through @mcap/support in the recording tests).
"$tools/varnel-inspect" record --scene --quiet --compression none --duration 4 "$out/scene.mcap"
(cd "$here" && node check_scene_recording.mjs "$out/scene.mcap")
kill "$demo"
wait "$demo" 2>/dev/null || true

echo "-- the recording served with --file"
start_serve "$out/serve-file.log" --file "$out/scene.mcap"
(cd "$here" && node check_serve.mjs "ws://127.0.0.1:$port/" 3 --no-hostile)
(cd "$here" && node check_page.mjs "http://127.0.0.1:$port/" "$out/file")
echo "serve tests passed"
