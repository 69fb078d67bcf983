#!/usr/bin/env bash
# Sets up everything, builds, and runs every test.
#   scripts/test.sh             the normal build (with the CUDA backend when nvcc exists)
#   scripts/test.sh --sanitize  the CPU backend under AddressSanitizer and UBSan; the full
#                               registrations (tests named *Slow* / *_slow) are left to the
#                               normal build
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ "${1:-}" = "--sanitize" ]; then
  bash scripts/build.sh build-asan -DTARVO_CUDA=OFF -DTARVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cd build-asan
  ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$(nproc)" -E 'Slow|_slow'
else
  bash scripts/build.sh build
  cd build
  # GPU tests skip themselves where no GPU is usable.
  ctest --output-on-failure -j"$(nproc)"
  cd ..
  # The Python package, built by pip from this checkout, and its tests.
  bash scripts/python-test.sh
fi
