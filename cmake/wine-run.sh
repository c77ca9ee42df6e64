#!/usr/bin/env bash
# Runs one Windows program under Wine with the build's own prefix and no debug chatter.
# WINEPREFIX is set by scripts/test.sh; a default beside the build keeps manual runs working.
export WINEPREFIX="${WINEPREFIX:-${VARNEL_WINEPREFIX:-/tmp/varnel-wineprefix}}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export PATH="/usr/lib/wine:$PATH"
exec wine64 "$@"
