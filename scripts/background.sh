# Sourced by the test scripts that start background processes.
#
# stop_background: ends every background job of the calling shell: asked first
# (SIGTERM), killed if still there after 10 s, so that a stuck process never
# keeps a test run waiting. Use it as the EXIT trap: trap stop_background EXIT
stop_background() {
  local pid tries=0
  for pid in $(jobs -p); do kill "$pid" 2>/dev/null || true; done
  while [ -n "$(jobs -pr)" ] && ((tries++ < 100)); do sleep 0.1; done
  for pid in $(jobs -pr); do
    echo "$(basename "$0"): process $pid ($(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)) did not stop when asked; killed" >&2
    kill -9 "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
