#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of the build folder's own,
# 64-bit (win64) for x86_64 programs, 32-bit (win32) for i686 ones.
#
#   wine-run.sh ARCH PREFIX PROGRAM [ARGS...]   run PROGRAM
#   wine-run.sh ARCH PREFIX --start             create the prefix if needed and
#                                               keep a wineserver running for
#                                               the session
#   wine-run.sh ARCH PREFIX --stop              end that wineserver
#   wine-run.sh ARCH PREFIX --runnable          exit 0 if this machine runs
#                                               ARCH's programs; 3, saying
#                                               why, if its kernel refuses
#                                               Wine's loader for ARCH
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
# Debian's `wine` runs Wine's 32-bit loader whenever it is installed, which
# hands 64-bit programs on to the 64-bit one. x86_64 programs go straight
# to the 64-bit loader, so they run even where the kernel refuses 32-bit
# Linux programs; i686 ones need the 32-bit loader.
wine=wine
if [ "$WINEARCH" = win64 ]; then
  for loader in wine64 /usr/lib/wine/wine64; do
    if command -v "$loader" >/dev/null 2>&1; then wine=$(command -v "$loader"); break; fi
  done
  export WINELOADER=$wine
elif [ -x /usr/lib/wine/wine ]; then
  wine=/usr/lib/wine/wine
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "${1:-}" in
  --start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      "$wine" wineboot --init >/dev/null 2>&1 || true
      wineserver -w  # let the set-up's own server finish
    fi
    # Starting a Wine process costs about a second; a persistent server
    # keeps that to the first one. It answers 2 when one already runs.
    wineserver -p || [ $? -eq 2 ]
    # The first Wine program starts Wine's own background services, which
    # inherit its output; under CTest that is the test's pipe, which then
    # never closes and the test never ends. Start them here, on /dev/null.
    "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  --stop)
    wineserver -k 2>/dev/null || true
    ;;
  --runnable)
    # A kernel without 32-bit emulation (or with it switched off at boot)
    # refuses the 32-bit loader with "exec format error", which the shell
    # reports as 126. A loader that is missing is an install fault, not
    # this: the suite itself reports it.
    status=0
    "$wine" --version >/dev/null 2>&1 || status=$?
    if [ "$status" -eq 126 ]; then
      echo "wine-run.sh: this kernel does not run Wine's loader $wine (exec format error), so no $WINEARCH program runs here" >&2
      exit 3
    fi
    ;;
  *)
    exec "$wine" "$@"
    ;;
esac
