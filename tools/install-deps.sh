#!/usr/bin/env bash
# Installs Debian packages when they are missing: the ones given, or by
# default what the build, the tests and the Windows cross build need.
set -euo pipefail

packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
  packages=(cmake ninja-build g++ make libgtest-dev libgmock-dev googletest binutils
            g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
            wine wine64 wine32:i386  # the 64-bit and 32-bit Wine loaders, for both suites
            clang lld)  # an application with the Microsoft C++ ABI, built against the DLL
  # The end-to-end tests drive a peer written in Python 3 (standard library only).
  command -v python3 >/dev/null 2>&1 || packages+=(python3)
  # The consumer test builds a program with pkg-config.
  command -v pkg-config >/dev/null 2>&1 || packages+=(pkg-config)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  # 32-bit packages (name:i386) need the i386 architecture known to dpkg
  # before the package lists are read.
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
     ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  # A list that fails to download (a mirror caught mid-sync) is reported
  # but does not stop here: the install below tells whether it mattered.
  $SUDO apt-get update -qq || true
  install=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
  if ! $SUDO "${install[@]}" "${missing[@]}"; then
    # With one architecture's security list missing, the amd64 and i386
    # versions of a library no longer agree and no install can satisfy
    # both. The distribution's own suites always agree: try once more with
    # the security suites left out, for this install only.
    echo "install failed; trying again without the security suites"
    only=$(mktemp -d)
    trap 'rm -rf "$only"' EXIT
    grep -v -- '-security' /etc/apt/sources.list >"$only/sources.list" 2>/dev/null || true
    for f in /etc/apt/sources.list.d/*.list; do
      if [ -e "$f" ]; then grep -v -- '-security' "$f" >"$only/$(basename "$f")" || true; fi
    done
    for f in /etc/apt/sources.list.d/*.sources; do
      if [ -e "$f" ]; then awk 'BEGIN { RS = ""; ORS = "\n\n" } !/-security/' "$f" >"$only/$(basename "$f")"; fi
    done
    $SUDO "${install[@]}" -o Dir::Etc::SourceList="$only/sources.list" -o Dir::Etc::SourceParts="$only" "${missing[@]}"
  fi
fi
