#!/usr/bin/env bash
# Builds the CUDA binaries here (no GPU needed) and gathers what scripts/gpu-check.sh runs
# on a GPU machine into .gpu/ (git-ignored): tarvo, phantom, tarvo_gpu_tests, imgcmp, texprobe,
# the benchmark and distance tools when they exist, the scripts, and a copy of the real volumes
# of $TARVO_DATA (default ../shared/data) when present (they stay out of the repository).
# Usage: scripts/build-gpu-bundle.sh [build-dir]   (default build-gpu/; Release, sm_90)
# Then, on the GPU machine: scripts/gpu-check.sh .gpu
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-gpu}
export PATH="$PATH:/usr/local/cuda/bin"
# libstdc++ linked statically: the GPU machine may have an older one. NLopt, which Debian
# ships only as a shared library, travels beside the binaries ($ORIGIN in their run path).
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTARVO_CUDA=ON -DCMAKE_CUDA_ARCHITECTURES=90 \
  -DCMAKE_EXE_LINKER_FLAGS="-static-libstdc++ -static-libgcc -Wl,-rpath,'\$ORIGIN'" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target tarvo phantom tarvo_gpu_tests imgcmp texprobe costbench
for extra in xfdist; do
  cmake --build "$dir" -j"$(nproc)" --target "$extra" >/dev/null 2>&1 || true
done

rm -rf .gpu
mkdir -p .gpu/scripts .gpu/bench
for b in tarvo phantom tests/tarvo_gpu_tests imgcmp texprobe costbench xfdist; do
  [ -x "$dir/$b" ] && cp "$dir/$b" .gpu/
  [ -x "$dir/$b" ] && ldd "$dir/$b" | awk '/libnlopt/ { print $3 }' | xargs -r -I{} cp -L {} .gpu/
done
cp scripts/gpu-check.sh .gpu/scripts/
cp bench/*.sh .gpu/bench/ 2>/dev/null || true
data=${TARVO_DATA:-../shared/data}
if [ -d "$data" ]; then
  mkdir -p .gpu/data
  cp "$data"/*.nii.gz .gpu/data/ 2>/dev/null || true
fi
du -sh .gpu
# What travels to the GPU machine is limited to 64 MiB, the repository included.
size=$(du -sm .gpu | cut -f1)
if [ "$size" -ge 56 ]; then echo "bundle is ${size} MiB: too large to travel with the tree" >&2; exit 1; fi
dry=$(mktemp -d); trap 'rm -rf "$dry"' EXIT
OUT=$dry scripts/gpu-check.sh --dry-run .gpu >/dev/null || { echo "dry run of the check on the bundle failed" >&2; exit 1; }
echo "bundle ready: run 'scripts/gpu-check.sh .gpu' on the GPU machine (carry .gpu)"
