#!/usr/bin/env bash
# tarvo batch against one register process per subject: N phantom subjects (default 8) to
# one reference, wall time of each way, outputs compared byte for byte; then the peak
# memory of a batch of 2 and of 16 subjects (memory must not grow with the batch).
# Usage: bench/batch.sh [build-dir] [subjects] [grid]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
n=${2:-8}
g=${3:-48}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
grid="--grid $g $g $g --voxel 2 2 2 --head-length 80 --noise 3"
"$build/phantom" --out ref.nii.gz --contrast t1 $grid --seed 1 --datatype 4 > /dev/null
for i in $(seq 16); do
  "$build/phantom" --out "s$i.nii.gz" --contrast t2 $grid --seed $((i + 1)) \
    --affine $((i % 7 - 3)) $((i % 5 - 2)) $((i % 3)) $((i % 4 - 2)) 1 -1 1.02 0.98 1 0 0 0 > /dev/null
done
for i in $(seq "$n"); do echo "s$i.nii.gz"; done > list.txt
echo "date: $(date -u +'%F %H:%M') UTC  machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "subjects: $n phantoms ${g}^3 at 2 mm, backend: ${TARVO_DEVICE:-auto}"

# Wall time, and processor time (user + system), which other load on the machine
# disturbs far less.
cpu() { /usr/bin/time -a -o "$1" -f "%U %S" "${@:2}" > /dev/null; }
t0=$(date +%s.%N)
for i in $(seq "$n"); do
  cpu cpu_sep.txt "$build/tarvo" register "s$i.nii.gz" ref.nii.gz -o "r$i.nii.gz" --itk "r${i}_itk.txt" --quiet
done
t1=$(date +%s.%N)
cpu cpu_batch.txt "$build/tarvo" batch ref.nii.gz list.txt --out-dir out --quiet
t2=$(date +%s.%N)
same=yes
for i in $(seq "$n"); do
  cmp -s "r$i.nii.gz" "out/s$i/s$i.nii.gz" && cmp -s "r${i}_affine.txt" "out/s$i/s${i}_affine.txt" \
    && cmp -s "r${i}_itk.txt" "out/s$i/s${i}_itk.txt" || same=no
done
awk -v a="$t0" -v b="$t1" -v c="$t2" -v n="$n" 'BEGIN {
  printf "separate processes: %.2f s (%.2f s per subject)\n", b - a, (b - a) / n
  printf "one batch:          %.2f s (%.2f s per subject)\n", c - b, (c - b) / n
  printf "speed-up:           %.3fx (wall)\n", (b - a) / (c - b) }'
sep=$(awk '{ s += $1 + $2 } END { print s }' cpu_sep.txt)
bat=$(awk '{ s += $1 + $2 } END { print s }' cpu_batch.txt)
awk -v a="$sep" -v b="$bat" 'BEGIN {
  printf "processor time: separate %.2f s, batch %.2f s, speed-up %.3fx\n", a, b, a / b }'
echo "outputs identical byte for byte: $same"

for k in 2 16; do
  seq "$k" | sed 's/^/s/; s/$/.nii.gz/' > "list$k.txt"
  /usr/bin/time -f "%M" -o "mem$k.txt" "$build/tarvo" batch ref.nii.gz "list$k.txt" --out-dir "m$k" --quiet > /dev/null
done
awk -v a="$(cat mem2.txt)" -v b="$(cat mem16.txt)" 'BEGIN {
  printf "peak memory: 2 subjects %d KiB, 16 subjects %d KiB (%+.1f %%)\n", a, b, 100 * (b - a) / a }'
