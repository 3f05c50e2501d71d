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
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
