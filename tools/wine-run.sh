#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of the build folder's own,
# 64-bit (win64) for x86_64 programs, 32-bit (win32) for i686 ones.
#
#   wine-run.sh ARCH PREFIX PROGRAM [ARGS...]   run PROGRAM
#   wine-run.sh ARCH PREFIX --start             create the prefix if needed and
#                                               keep a wineserver running for
#                                               the session
#   wine-run.sh ARCH PREFIX --stop              end that wineserver
#
# ARCH is x86_64 or i686. Each prefix has its own wineserver, so suites in
# different prefixes run at the same time.
set -euo pipefail
case "$1" in
  x86_64) export WINEARCH=win64 ;;
  i686) export WINEARCH=win32 ;;
  *) echo "wine-run.sh: architecture x86_64 or i686, not '$1'" >&2; exit 2 ;;
esac
export WINEPREFIX=$2
shift 2
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
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
