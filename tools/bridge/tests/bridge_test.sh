#!/usr/bin/env bash
# The bridge over loopback: a source, one publisher, two mirrors in other
# processes (regions "bridge-mirror-a" and "bridge-mirror-b").
#
# Run it inside a private network namespace and a private /dev/shm (scripts/test.sh
# dds does both); it refuses to run where another interface than lo is up.
#   tools/bridge/tests/bridge_test.sh BUILD_DIR
#
# 1. Mirrors start before anything else; the publisher waits for the region.
# 2. The demo host writes for 22 s at 50 ticks/s (resets when the graph fills,
#    then compactions with --window); mirror A is killed and restarted (naming the
#    source with --source) meanwhile. While it compacts, readers of both mirrors
#    never see an empty graph. With the demo stopped, both mirrors must equal the
#    source. Meanwhile a second source ("bridge-source-2", written by bridge_check
#    follow, appends only) has its own publisher on the same domain (--name second)
#    and mirror C follows it by name: C equals it after every burst with three
#    whole states at most, and mirrors A and B say once that they ignore it.
# 3. bridge_check follow writes 30 s of bursts (batches, clears, compactions) and
#    after every burst waits for both mirrors to equal the source exactly; the
#    publisher and then mirror B are killed and restarted meanwhile.
# 4. bridge_check hostile sends corrupt samples: each mirror must refuse them
#    (logged), ask for the state, and end equal to the source again.
# First, without DDS, bridge_check wire: the hand-written publication type support
# against the generated one.
set -uo pipefail
build="${1:?usage: bridge_test.sh BUILD_DIR}"
here="$(cd "$(dirname "$0")" && pwd)"
bridge="$build/tools/bridge/varnel-bridge"
check="$build/tools/bridge/tests/bridge_check"
demo="$build/tools/varnel-demo"
logs="$build/bridge-test"
mkdir -p "$logs"
rm -f "$logs"/*.log

if ip -o link show up | grep -qv ' lo:'; then
  echo "bridge_test: an interface other than lo is up: run me in a private network namespace" >&2
  exit 1
fi
export FASTRTPS_DEFAULT_PROFILES_FILE="$here/loopback.xml"

"$check" wire || exit 1

source "$here/../../../scripts/background.sh"
trap stop_background EXIT
kill9() { kill -9 "$1"; wait "$1" 2>/dev/null; }  # quietly: the shell would report the kill
fail() { echo "bridge_test: FAILED: $*" >&2; for f in "$logs"/*.log; do echo "--- $f"; tail -n 15 "$f"; done >&2; exit 1; }

start_mirror() {  # NAME [OPTION...] -> pid in $mirror_pid
  local name="$1"; shift
  "$bridge" mirror --region "bridge-mirror-$name" "$@" >>"$logs/mirror-$name.log" 2>&1 &
  mirror_pid=$!
}
start_publisher() {
  "$bridge" publish >>"$logs/publisher.log" 2>&1 &
  publisher_pid=$!
}

start_mirror a; mirror_a=$mirror_pid
start_mirror b; mirror_b=$mirror_pid
start_publisher

echo "-- demo host, 22 s (resets, then compactions); mirror A killed and restarted"
"$demo" --rate 50 --cars 60 --duration 12 >"$logs/demo-resets.log" 2>&1 &
demo_pid=$!
sleep 5
kill9 "$mirror_a"; sleep 2; start_mirror a --source "KnowledgeGraph@$(uname -n)"; mirror_a=$mirror_pid
# A second source on the domain, followed by name by mirror C only.
"$bridge" publish --region bridge-source-2 --name second >>"$logs/publisher-2.log" 2>&1 &
publisher_2=$!
start_mirror c --source second; mirror_c=$mirror_pid
"$check" follow --source bridge-source-2 --mirror bridge-mirror-c --appends-only --seconds 12 \
  --timeout 30 >"$logs/follow-2.log" 2>&1 &
follow_2=$!
# Every socket of the bridge is on 127.0.0.1 (no wildcard, no multicast port).
stray=$(ss -Huanp | grep varnel-bridge | awk '{print $4}' | grep -v '^127\.0\.0\.1:' || true)
[ -z "$stray" ] || fail "sockets beyond 127.0.0.1: $stray"
[ "$(ss -Huanp | grep -c varnel-bridge)" -ge 3 ] || fail "the bridge processes hold no UDP sockets"
wait "$demo_pid" || fail "the demo host failed"
"$demo" --rate 50 --cars 60 --duration 10 --window 2 >"$logs/demo-window.log" 2>&1 &
demo_pid=$!
sleep 2
"$check" watch --mirror bridge-mirror-a --mirror bridge-mirror-b --seconds 7 >"$logs/watch.log" 2>&1 ||
  fail "readers of a mirror saw an empty graph while the source compacted: $(cat "$logs/watch.log")"
cat "$logs/watch.log"
wait "$demo_pid" || fail "the demo host failed"
grep -q "resets [1-9]" "$logs/demo-resets.log" || fail "the demo host never reset the graph"
grep -q "[1-9][0-9]* compactions" "$logs/demo-window.log" || fail "the demo host never compacted"
"$check" compare --mirror bridge-mirror-a --mirror bridge-mirror-b --timeout 30 || fail "mirrors differ after the demo"
wait "$follow_2" || fail "mirror C differed from the second source"
cat "$logs/follow-2.log"
kill "$mirror_c"; wait "$mirror_c" 2>/dev/null
whole=$(grep "^applied" "$logs/mirror-c.log" | tail -n 1 | sed -n 's/.*(\([0-9]*\) whole states,.*/\1/p')
[ -n "$whole" ] && [ "$whole" -le 3 ] || fail "mirror C installed ${whole:-no} whole states of a source that only appends"
kill "$publisher_2"; wait "$publisher_2" 2>/dev/null
for m in a b; do
  told=$(grep -c 'another source is on the domain: "second"' "$logs/mirror-$m.log")
  [ "$told" -eq 1 ] || fail "mirror $m told $told times of the second source, not once"
done
echo "mirror C followed source \"second\" with $whole whole state(s); mirrors A and B ignored it"

echo "-- bursts for 30 s, compared after each; publisher, then mirror B, killed and restarted"
"$check" follow --mirror bridge-mirror-a --mirror bridge-mirror-b --seconds 30 --timeout 30 \
  >"$logs/follow.log" 2>&1 &
follow_pid=$!
sleep 8
kill9 "$publisher_pid"; sleep 2; start_publisher
sleep 8
kill9 "$mirror_b"; sleep 2; start_mirror b; mirror_b=$mirror_pid
wait "$follow_pid" || fail "a mirror differed from the source during the bursts"
cat "$logs/follow.log"

echo "-- hostile samples"
"$check" hostile >"$logs/hostile.log" 2>&1 || fail "the hostile publisher could not run"
"$check" compare --mirror bridge-mirror-a --mirror bridge-mirror-b --timeout 30 || fail "mirrors differ after the hostile samples"
for m in a b; do
  refused=$(grep -c "refused publication" "$logs/mirror-$m.log")
  [ "$refused" -ge 5 ] || fail "mirror $m refused $refused of the 5 hostile samples"
  grep "refused publication" "$logs/mirror-$m.log" | sed "s/^/mirror $m: /"
done
# Readers of a mirror answer as the source's do (the inspector's scene as JSON).
inspect="$build/tools/varnel-inspect"
"$inspect" json >"$logs/source.json" || fail "the inspector cannot read the source"
for m in a b; do
  "$inspect" --region "bridge-mirror-$m" json >"$logs/mirror-$m.json" || fail "the inspector cannot read mirror $m"
  cmp -s "$logs/source.json" "$logs/mirror-$m.json" || fail "the inspector reads another scene in mirror $m"
done
[ -s "$logs/source.json" ] || fail "empty scene"
echo "the inspector reads the same scene in both mirrors as in the source ($(wc -c <"$logs/source.json") bytes of JSON)"
sessions=$(grep "holding the whole state of session" "$logs/mirror-a.log" | awk '{print $7}' | sort -u | wc -l)
[ "$sessions" -ge 2 ] || fail "mirror A followed $sessions publisher sessions, not both"
for f in mirror-a mirror-b publisher; do echo "$f: $(grep -E "^(applied|published)" "$logs/$f.log" | tail -n 1)"; done
# The bursts compact the source a thousand times: the mirrors took compactions as
# marks (compacting their own copies), not only as whole states.
for m in a b; do
  marks=$(grep "^applied" "$logs/mirror-$m.log" | tail -n 1 | sed -n 's/.* \([0-9]*\) compactions as marks.*/\1/p')
  [ -n "$marks" ] && [ "$marks" -ge 1 ] || fail "mirror $m applied ${marks:-no} compactions as marks"
done
echo "bridge_test: passed"
