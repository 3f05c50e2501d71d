#!/usr/bin/env bash
# Installs what the benchmarks need beyond the build itself, when missing:
# the peers we compare against (standalone asio, libuv), Google Benchmark,
# and Python 3 for the runner.
set -euo pipefail
exec bash "$(dirname "$0")/../tools/install-deps.sh" \
  libasio-dev libuv1-dev libbenchmark-dev cmake ninja-build g++ python3
