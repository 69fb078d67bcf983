#!/usr/bin/env bash
# Configures and builds into $1 (default build/); further arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
export PATH="$PATH:/usr/local/cuda/bin"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
