#!/usr/bin/env bash
# Runs a Windows program under wine64 in a prefix of the build folder's own.
#
#   wine-run.sh PREFIX PROGRAM [ARGS...]   run PROGRAM
#   wine-run.sh PREFIX --start             create the prefix if needed and keep
#                                          a wineserver running for the session
#   wine-run.sh PREFIX --stop              end that wineserver
set -euo pipefail
export WINEPREFIX=$1
shift
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
case "${1:-}" in
  --start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      wineboot --init >/dev/null 2>&1 || true
      wineserver -w  # let the set-up's own server finish
    fi
    # Starting a Wine process costs about a second; a persistent server
    # keeps that to the first one. It answers 2 when one already runs.
    wineserver -p || [ $? -eq 2 ]
    # The first Wine program starts Wine's own background services, which
    # inherit its output; under CTest that is the test's pipe, which then
    # never closes and the test never ends. Start them here, on /dev/null.
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  --stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    exec wine "$@"
    ;;
esac
