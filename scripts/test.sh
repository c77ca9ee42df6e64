#!/usr/bin/env bash
# Runs every test: the native Linux build, an AddressSanitizer + UBSan build, the
# ThreadSanitizer build of the concurrency tests, the Windows x64 cross build under
# Wine, the Python package's tests, a packager's plain Release build with its
# installed tree, recording and replay, varnel-sumo against the SUMO traffic
# simulator, varnel-bridge over loopback DDS, and varnel-inspect serve with a
# robotics viewer's client and a headless browser. Installs missing Debian packages first.
#
#   scripts/test.sh            everything
#   scripts/test.sh linux      only the named runs (linux asan tsan mingw python release fuzz mcap sumo dds serve)
#   VARNEL_FUZZ_SECONDS=600 scripts/test.sh fuzz   a longer fuzzing run (default 20 s each)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
varnel_install_missing

runs=("$@")
((${#runs[@]})) || runs=(linux asan tsan mingw python release fuzz mcap sumo dds serve)
jobs=$(nproc)
failed=()

step() { echo; echo "== $*"; }

build() {  # build PRESET
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

run_linux() { build linux && ctest --preset linux -j "$jobs"; }
run_asan() {
  build asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 ctest --preset asan -j "$jobs"
}
# Only the concurrency tests run under ThreadSanitizer, so only they are built.
run_tsan() {
  cmake --preset tsan >/dev/null && cmake --build --preset tsan -j "$jobs" --target graph_read_stress_test &&
    TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j "$jobs"
}

run_mingw() {
  build mingw || return 1
  export WINEPREFIX="$PWD/build/mingw/wineprefix" WINEDEBUG=-all PATH="/usr/lib/wine:$PATH"
  mkdir -p "$WINEPREFIX"
  # One wineserver for the whole run: each test program then starts in about a second.
  wineserver -p </dev/null >/dev/null 2>&1
  # Start the prefix's background services now, with their output away from ctest's
  # pipes (a service holding a test's pipe open would keep ctest waiting).
  WINEDLLOVERRIDES="mscoree,mshtml=" wine64 wineboot -u </dev/null >/dev/null 2>&1 || true
  local status=0
  ctest --preset mingw -j "$jobs" || status=$?
  wineserver -k || true
  return $status
}

run_python() {
  [ -d build/linux ] || build linux
  cmake --build --preset linux -j "$jobs" >/dev/null
  if ! compgen -G "build/linux/python/varnel*.so" >/dev/null; then
    echo "(no Python module built yet)"; return 0
  fi
  PYTHONPATH="$PWD/build/linux/python" /usr/bin/python3 -m pytest -q python/tests
}

# ---- release: the build a packager makes, plain CMake without a preset (warnings
# are reported, not errors), installed into a staging prefix. Hosts then build
# against the installed tree through find_package and pkg-config, the planning
# example (examples/planning) reads the demo host, the recording example
# (examples/recording) reads a drive of it recorded meanwhile, and the installed Python
# module is imported from elsewhere and tested.
run_release() {
  local dir=build/release stage="$PWD/build/release/stage"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
  cmake --build "$dir" -j "$jobs" || return 1
  rm -rf "$stage"
  cmake --install "$dir" --prefix "$stage" >/dev/null || return 1
  cmake -DPREFIX="$stage" -DWORK_DIR="$PWD/$dir/consumers" -DCC=cc -DCXX=c++ \
    -DSOURCE_DIR="$PWD/varnel-interface/tests/install_consumer" \
    -P varnel-interface/tests/check_install.cmake || return 1
  "$stage/bin/varnel-inspect" --help >/dev/null && "$stage/bin/varnel-demo" --help >/dev/null || return 1
  # The planning example, built against the installed tree, reads the demo host
  # while it runs and goes on reading once it has ended.
  local example="$PWD/$dir/planning_example"
  rm -rf "$example"
  cmake -S examples/planning -B "$example" -DCMAKE_PREFIX_PATH="$stage" >/dev/null &&
    cmake --build "$example" >/dev/null || { echo "the planning example does not build"; return 1; }
  # The recording example, built against the installed tree, reads a drive the
  # installed inspector records from the same demo run.
  local drive="$PWD/$dir/recording_example"
  rm -rf "$drive"
  cmake -S examples/recording -B "$drive" -DCMAKE_PREFIX_PATH="$stage" >/dev/null &&
    cmake --build "$drive" >/dev/null || { echo "the recording example does not build"; return 1; }
  "$stage/bin/varnel-demo" --duration 3 --rate 10 --cars 12 --seed 1 >/dev/null &
  local demo=$!
  (sleep 1 && "$stage/bin/varnel-inspect" record "$drive/drive.mcap" --duration 1 --quiet) &
  local recorder=$!
  "$example/planning_consumer" --duration 5 >"$example/output.txt" || { kill "$demo"; wait "$demo"; return 1; }
  wait "$demo" || return 1
  grep -q "host alive | ego on lane" "$example/output.txt" && grep -q "HOST GONE" "$example/output.txt" ||
    { echo "the planning example did not read the demo:"; cat "$example/output.txt"; return 1; }
  tail -n 3 "$example/output.txt"
  wait "$recorder" || { echo "the installed inspector did not record the demo"; return 1; }
  "$drive/drive_reader" "$drive/drive.mcap" >"$drive/output.txt" &&
    grep -q "cars, .* on a lane" "$drive/output.txt" ||
    { echo "the recording example did not read the drive:"; cat "$drive/output.txt"; return 1; }
  cat "$drive/output.txt"
  # Under /usr/local, Debian's python3 searches the folder the module went to.
  local site
  site=$(cd "$stage" && echo lib/python3*/dist-packages)
  [ -f "$stage/$site/varnel.pyi" ] || { echo "no Python module or stubs in $stage/$site"; return 1; }
  /usr/bin/python3 -c "import sys; sys.exit('/usr/local/$site' not in sys.path)" ||
    { echo "Debian's python3 does not search /usr/local/$site"; return 1; }
  (cd / && PYTHONPATH="$stage/$site" /usr/bin/python3 -c \
    "import varnel, sys; sys.exit(not varnel.__file__.startswith('$stage/'))") ||
    { echo "the installed varnel module does not import"; return 1; }
  PYTHONPATH="$stage/$site" /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests || return 1
  # Every code block of the README, as a user would build and run it.
  /usr/bin/python3 scripts/readme_blocks.py --prefix "$stage" --site "$site" --work "$PWD/$dir/readme"
}

# ---- mcap: the MCAP format's conformance suite (../shared/reference/mcap beside
# the checkout: a missing suite fails the run) with its tallies, and recordings
# read by the reference MCAP reader (Node.js packages at the versions pinned by
# the lockfile, from the machine's configured npm registry), compressed,
# uncompressed and re-packed by its writer.
run_mcap() {
  (cd tools/tests/mcap_reader && npm ci --no-audit --no-fund --loglevel=error) || return 1
  [ -d build/linux ] || cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$jobs" --target record_test mcap_conformance_test varnel-inspect || return 1
  [ -d ../shared/reference/mcap/conformance/data ] ||
    { echo "the MCAP conformance suite is missing: expected at $(cd .. && pwd)/shared/reference/mcap/conformance"; return 1; }
  local status=0
  build/linux/tools/tests/mcap_conformance_test >build/linux/mcap_conformance.log 2>&1 || status=1
  grep -E '^MCAP conformance|^  FAILED' build/linux/mcap_conformance.log
  ((status == 0)) || { tail -n 40 build/linux/mcap_conformance.log; return 1; }
  ctest --preset linux -R '^(record_test|mcap_conformance_test)$' --output-on-failure
}

# isolated SECONDS SHM_SIZE COMMAND...: runs COMMAND in a network namespace of its
# own with only lo up (nothing it opens is reachable from elsewhere, nothing it
# sends leaves the machine) and a /dev/shm of its own, for at most SECONDS: then
# it and everything it started are ended, so a stuck process fails the run
# instead of holding it.
isolated() {
  local seconds="$1" size="$2" namespaces="unshare -n -m"
  shift 2
  [ "$(id -u)" -eq 0 ] || namespaces="unshare -r -n -m"
  timeout -k 20 "$seconds" $namespaces sh -c \
    'ip link set lo up && mount -t tmpfs -o "size=$0" tmpfs /dev/shm && exec "$@"' "$size" "$@" ||
    { local status=$?; ((status != 124 && status != 137)) || echo "ended after $seconds s: $*"; return $status; }
}

# ---- sumo: varnel-sumo against SUMO's own state. SUMO's TraCI server listens on
# every interface it has, so the run gets a network namespace of its own with
# only the loopback interface up, and a /dev/shm of its own ("KnowledgeGraph" is
# not shared with other runs).
run_sumo() {
  [ -d build/linux ] || cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$jobs" --target varnel || return 1
  isolated 600 2g env PYTHONPATH="$PWD/build/linux/python" SUMO_HOME=/usr/share/sumo \
    /usr/bin/python3 -m pytest -q tools/sumo/tests
}

# ---- dds: varnel-bridge over loopback UDP (no multicast), a publisher and two
# mirrors, in a network namespace with only lo up and a /dev/shm of its own.
run_dds() {
  [ -d build/linux ] || cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$jobs" --target varnel-bridge bridge_check varnel-demo varnel-inspect \
    varnel_interface || return 1
  isolated 600 12g tools/bridge/tests/bridge_test.sh build/linux
}

# ---- serve: varnel-inspect serve against the demo host, read by the robotics
# viewers' own WebSocket client and schemas (npm packages pinned by the
# lockfile), hostile clients, record --scene read by the reference MCAP reader,
# and the page in Debian's chromium, headless; in a network namespace with only
# lo up and a /dev/shm of its own.
run_serve() {
  (cd tools/tests/serve_client && npm ci --no-audit --no-fund --loglevel=error) || return 1
  [ -d build/linux ] || cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$jobs" --target varnel-inspect varnel-demo varnel_interface || return 1
  isolated 600 2g tools/tests/serve_client/serve_test.sh build/linux
}

# ---- fuzz: each libFuzzer target for a bounded time; any finding fails the run.
# New inputs go to build/fuzz/corpus (the committed seeds in fuzz/corpus are only
# read), findings to build/fuzz/findings. Leak checks stay with the asan run:
# here they would scan the half-gigabyte graph after every input that keeps heap.
run_fuzz() {
  build fuzz || return 1
  # A fixed seed keeps the run reproducible; VARNEL_FUZZ_SEED=0 lets libFuzzer pick one.
  local seconds="${VARNEL_FUZZ_SECONDS:-20}" seed="${VARNEL_FUZZ_SEED:-1}" status=0 name
  for name in fuzz_graph_operations fuzz_damaged_record fuzz_snapshot_file fuzz_mcap_reader fuzz_raw_span; do
    mkdir -p "build/fuzz/corpus/$name" build/fuzz/findings
    echo "-- $name, ${seconds} s"
    if ! "build/fuzz/fuzz/$name" -max_total_time="$seconds" -seed="$seed" -rss_limit_mb=4096 -print_final_stats=1 \
        -detect_leaks=0 -artifact_prefix="build/fuzz/findings/$name-" "build/fuzz/corpus/$name" "fuzz/corpus/$name" \
        >"build/fuzz/$name.log" 2>&1; then
      tail -n 40 "build/fuzz/$name.log"; status=1
    fi
    grep -E '^#[0-9]+[[:space:]]+DONE' "build/fuzz/$name.log" | tail -n 1 || true
    awk '/^stat::number_of_executed_units:/ {runs = $2}
         /^stat::average_exec_per_sec:/ {rate = $2}
         END {if (rate != "") printf "%s: %s executions, %s per second\n", name, runs, rate}' \
      name="$name" "build/fuzz/$name.log"
  done
  return $status
}

for run in "${runs[@]}"; do
  step "$run"
  started=$SECONDS
  if ! "run_$run"; then failed+=("$run"); fi
  echo "-- $run: $((SECONDS - started)) s (all runs so far: $((SECONDS / 60)) min)"
done

echo
if ((${#failed[@]})); then
  echo "FAILED runs: ${failed[*]}"
  exit 1
fi
echo "all runs passed: ${runs[*]}"
