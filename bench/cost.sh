#!/usr/bin/env bash
# Cost evaluations per second per pyramid level (8, 4, 2, 1 mm), single and batched,
# for icbm2009_t1_1mm against subject_t1_0.88mm (resampled to 1 mm), or a phantom pair
# when the shared volumes are absent. Usage: bench/cost.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
data=${TARVO_DATA:-../shared/data}  # the shared volumes, when present
if [ -f "$data/icbm2009_t1_1mm.nii.gz" ]; then
  src=$data/subject_t1_0.88mm.nii.gz ref=$data/icbm2009_t1_1mm.nii.gz
else
  tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
  "$build/phantom" --out "$tmp/ref.nii.gz" --contrast t1 --grid 193 229 193 --voxel 1 1 1 --head-length 180
  "$build/phantom" --out "$tmp/src.nii.gz" --contrast t1 --grid 188 256 190 --voxel 0.88 0.88 0.88 --head-length 180
  src=$tmp/src.nii.gz ref=$tmp/ref.nii.gz
fi
echo "date: $(date -u +%F)  machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
"$build/costbench" "$src" "$ref"
