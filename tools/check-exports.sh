#!/usr/bin/env bash
# The libraries export exactly one symbol, CreateNetModule, undecorated.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0

check() {  # name, exported names (one per line)
  local name=$1 exports=$2
  if [ "$exports" = "CreateNetModule" ]; then
    echo "$name: exports CreateNetModule only"
  else
    echo "$name: unexpected exports:"; echo "$exports"; status=1
  fi
}

dll_exports() {  # objdump's export table: the names after "[Ordinal/Name Pointer] Table"
  "$1" -p "$2" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF==0 {on=0} on {print $NF}'
}

for so in build/debug/libQvWinNetModule.so build/release/libQvWinNetModule.so; do
  if [ -f "$so" ]; then check "$so" "$(nm -D --defined-only "$so" | awk '{print $3}')"; fi
done
check build/mingw-x86_64/bin/QvWinNetModule.dll \
  "$(dll_exports x86_64-w64-mingw32-objdump build/mingw-x86_64/bin/QvWinNetModule.dll)"
check build/mingw-i686/bin/QvWinNetModule.dll \
  "$(dll_exports i686-w64-mingw32-objdump build/mingw-i686/bin/QvWinNetModule.dll)"
exit $status
