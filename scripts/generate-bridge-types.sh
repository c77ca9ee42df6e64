#!/usr/bin/env bash
# Regenerates the bridge's DDS type support (tools/bridge/types/gen) from
# tools/bridge/types/bridge_types.idl with fastddsgen (Debian package fastddsgen,
# which brings a Java runtime). The generated files are kept in the tree so that
# building varnel-bridge needs only libfastrtps-dev and libfastcdr-dev.
set -euo pipefail
cd "$(dirname "$0")/../tools/bridge/types"
mkdir -p gen
fastddsgen -replace -d gen bridge_types.idl
