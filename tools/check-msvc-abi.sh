#!/usr/bin/env bash
# Checks the 32-bit DLL's destructor entries (QvDestroy, see
# include/qvdestructor.h): called by applications built with the Microsoft
# compiler with the thiscall convention, each must pop its flags argument
# (ret $0x4). `make test-windows` runs them too, under 32-bit Wine, through
# the Microsoft-ABI application (which faults when one does not); this check
# reads the code of the Release DLL that `make windows` ships, every entry,
# including those the application does not call.
set -euo pipefail
cd "$(dirname "$0")/.."
dll=build/mingw-i686/bin/QvWinNetModule.dll
test -f build/mingw-i686/bin/msvc_abi_app.exe || { echo "$dll: the Microsoft-ABI application was not built"; exit 1; }
listing=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$dll" |
  awk '/^[0-9a-f]+ <.*QvDestroy.*>:$/ {f=1; n++; next} /^$/ {f=0} f && /\tret/ {print}')
symbols=$(i686-w64-mingw32-objdump -d "$dll" | grep '^[0-9a-f]* <.*QvDestroy.*>:$' || true)
entries=$(echo "$symbols" | grep -c QvDestroy || true)
# One for each interface whose objects the library makes.
for interface in QvNetModule QvNetClient QvListenerApi QvSocket QvPacketCodec; do
  if ! echo "$symbols" | grep -q "${#interface}${interface}9QvDestroy"; then
    echo "$dll: no destructor entry for $interface"
    exit 1
  fi
done
if echo "$listing" | grep -v 'ret *\$0x4' | grep -q ret; then
  echo "$dll: a destructor entry returns without popping its argument:"
  echo "$listing"
  exit 1
fi
echo "$dll: $entries destructor entries, each pops its argument (thiscall)"
# The entries added after the destructor are called the same way: the
# connection's SendWithin pops its three arguments, as an application built
# with the Microsoft compiler expects of a thiscall function.
sendWithin=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$dll" |
  awk '/^[0-9a-f]+ <__ZN12QvConnection10SendWithinEPKcii>:$/ {f=1; next} /^$/ {f=0} f && /\tret/ {print}')
if [ -z "$sendWithin" ] || echo "$sendWithin" | grep -v 'ret *\$0xc' | grep -q ret; then
  echo "$dll: QvConnection::SendWithin does not pop its three arguments:"
  echo "$sendWithin"
  exit 1
fi
echo "$dll: SendWithin pops its three arguments (thiscall)"
for app in msvc_abi_app msvc_abi_app_1_0 gnu_abi_app gnu_abi_app_1_0; do
  test -f "build/mingw-i686/bin/$app.exe" || { echo "$app.exe was not built"; exit 1; }
done
