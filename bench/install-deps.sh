#!/usr/bin/env bash
# Installs what the benchmarks need beyond the build itself, when missing:
# the peers we compare against (standalone asio, libuv), Google Benchmark,
# and Python 3 for the runner.
set -euo pipefail

packages=(libasio-dev libuv1-dev libbenchmark-dev cmake ninja-build g++ python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bench: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
