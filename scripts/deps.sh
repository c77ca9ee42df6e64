#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
# Sourced by the other scripts; safe to run on its own.
set -euo pipefail

VARNEL_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix wine64
  libcli11-dev nlohmann-json3-dev liblmdb-dev graphviz
  pybind11-dev python3-dev python3-pytest
  binutils-mingw-w64-x86-64 util-linux
  nodejs
  sumo sumo-tools iproute2
)

# npm comes with some builds of nodejs (and conflicts with Debian's npm there).
command -v npm >/dev/null 2>&1 || VARNEL_PACKAGES+=(npm)

varnel_install_missing() {
  local missing=()
  for package in "${VARNEL_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "== installing missing Debian packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then varnel_install_missing; fi
