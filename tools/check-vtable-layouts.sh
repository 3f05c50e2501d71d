#!/usr/bin/env bash
# Checks the virtual tables of the public interfaces, as clang lays them out
# for x86_64 and i686 Windows in the Microsoft layout (what the Microsoft
# compiler and clang-cl build) and in the GNU layout (mingw-w64, which
# builds the DLL):
#   - the listings match those checked in under tests/consumer/vtables/
#     (one per header set and target: a change shows in review);
#   - every entry of the 1.0 headers (tests/consumer/headers-1.0) keeps its
#     index in the current headers, in each layout;
#   - every entry added since has the same index in both layouts of an
#     architecture (the Microsoft layout's placeholders aside).
#
#   check-vtable-layouts.sh           check
#   check-vtable-layouts.sh --update  write the listings afresh
set -euo pipefail
cd "$(dirname "$0")/.."
clang=${CLANGXX:-clang++}
listings=tests/consumer/vtables
targets="x86_64-pc-windows-msvc x86_64-w64-windows-gnu i686-pc-windows-msvc i686-w64-windows-gnu"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "Interface index signature" for each entry of each public interface.
layout() {  # headers target
  "$clang" --target="$2" -std=c++17 -c -o /dev/null -I"$1" -Xclang -fdump-vtable-layouts \
    tests/consumer/vtable_layouts.cpp |
    awk '/^V[F]?[Tt]able indices for / { split($0, q, "'\''"); name = q[2]; next }
         /^$/ { name = "" }
         name != "" && /^ *[0-9]+ \| / { sub(/^ */, ""); i = $1; sub(/^[0-9]+ \| /, ""); print name, i, $0 }'
}

status=0
for target in $targets; do
  arch=${target%%-*}
  kind=gnu
  case $target in *msvc) kind=msvc ;; esac
  for set in 1.0 current; do
    headers=include
    [ "$set" = 1.0 ] && headers=tests/consumer/headers-1.0
    layout "$headers" "$target" >"$work/$set-$arch-$kind.txt"
    [ -s "$work/$set-$arch-$kind.txt" ] || { echo "$target: no layout from $headers"; exit 1; }
    if [ "${1:-}" = --update ]; then
      mkdir -p "$listings"
      cp "$work/$set-$arch-$kind.txt" "$listings/"
    elif ! diff -u "$listings/$set-$arch-$kind.txt" "$work/$set-$arch-$kind.txt"; then
      echo "$set-$arch-$kind: the layout differs from the listing checked in"
      status=1
    fi
  done
  # Every 1.0 entry at its 1.0 index.
  missing=$(grep -vxF -f "$work/current-$arch-$kind.txt" "$work/1.0-$arch-$kind.txt" || true)
  if [ -n "$missing" ]; then
    echo "$arch-$kind: entries of 1.0 moved or gone:"
    echo "$missing"
    status=1
  fi
done
[ "${1:-}" = --update ] && { echo "listings written to $listings"; exit 0; }

for arch in x86_64 i686; do
  # The entries added since 1.0, in each layout (placeholders aside).
  for kind in msvc gnu; do
    grep -vxF -f "$work/1.0-$arch-$kind.txt" "$work/current-$arch-$kind.txt" |
      grep -v '::QvPlaceholder' >"$work/added-$arch-$kind.txt" || true
  done
  if [ ! -s "$work/added-$arch-msvc.txt" ]; then
    echo "$arch: no entries added since 1.0"
    status=1
  fi
  if ! diff -u "$work/added-$arch-msvc.txt" "$work/added-$arch-gnu.txt"; then
    echo "$arch: an added entry has different indices in the Microsoft and GNU layouts"
    status=1
  fi
done
if [ $status -eq 0 ]; then
  echo "vtable layouts: 1.0 entries in place; added entries at the same index in both layouts:"
  cat "$work/added-x86_64-msvc.txt"
fi
exit $status
