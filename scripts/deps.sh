#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing,
# and says in one line per group what it installs (apt's own output goes to
# build/apt.log, shown only when the installation fails).
# Sourced by the other scripts; safe to run on its own.
set -euo pipefail

# "group: packages", one group a line.
VARNEL_PACKAGE_GROUPS=(
  "compilers and build tools: cmake ninja-build g++ clang libclang-rt-14-dev pkg-config util-linux"
  "test and benchmark libraries: libgtest-dev libgmock-dev googletest libbenchmark-dev liblmdb-dev"
  "Windows cross build and Wine: g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64"
  "tool libraries and Graphviz: libcli11-dev nlohmann-json3-dev graphviz"
  "recording compression (zstd, lz4): libzstd-dev liblz4-dev"
  "Python module: pybind11-dev python3-dev python3-pytest python3-numpy python3-pandas"
  "C# bindings (Mono): mono-mcs mono-runtime"
  "recording tests (Node.js): nodejs"
  "SUMO traffic simulator and network namespaces: sumo sumo-tools iproute2"
  "DDS bridge (Fast DDS): libfastrtps-dev libfastcdr-dev fastddsgen"
  "live viewer server (Boost.Beast) and its browser test: libboost-dev chromium"
)
# npm comes with some builds of nodejs (and conflicts with Debian's npm there).
command -v npm >/dev/null 2>&1 || VARNEL_PACKAGE_GROUPS+=("recording tests (npm): npm")

varnel_missing() {  # packages of the arguments that are not installed
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      echo "$package"
  done
}

varnel_install_missing() {
  local group name packages missing sudo="" log updated=0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  log="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/apt.log"
  for group in "${VARNEL_PACKAGE_GROUPS[@]}"; do
    name="${group%%:*}"
    read -r -a packages <<<"${group#*:}"
    mapfile -t missing < <(varnel_missing "${packages[@]}")
    ((${#missing[@]})) || continue
    mkdir -p "$(dirname "$log")"
    echo "== installing $name: ${missing[*]}"
    if ((!updated)); then
      $sudo apt-get update -qq >>"$log" 2>&1 || { tail -n 20 "$log"; return 1; }
      updated=1
    fi
    if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >>"$log" 2>&1; then
      echo "installing $name failed; the end of $log:"
      tail -n 20 "$log"
      return 1
    fi
  done
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then varnel_install_missing; fi
