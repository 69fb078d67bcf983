#!/usr/bin/env bash
# tarvo batch against one register process per subject: N phantom subjects (default 8) to
# one reference, outputs compared byte for byte. Three ways, each timed: N separate
# register processes; the batch as it runs by default (on the CPU, one subject per thread
# at once); the batch with --jobs 1 (one subject at a time on all threads: what sharing
# the fixed image alone gives). The three run in turn for R rounds (default 3), so that
# load from elsewhere on the machine falls on all of them alike; each round's figures and
# the totals are printed. Then the peak memory of a batch of 2 and of 16 subjects (memory
# must not grow with the batch).
# Usage: bench/batch.sh [build-dir] [subjects] [grid] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
n=${2:-8}
g=${3:-48}
rounds=${4:-3}
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
echo "subjects: $n phantoms ${g}^3 at 2 mm, backend: ${TARVO_DEVICE:-auto}, $rounds rounds"

# Wall time, and processor time (user + system) summed over the processes.
now() { date +%s.%N; }
cpu() { /usr/bin/time -a -o "$1" -f "%U %S" "${@:2}" > /dev/null; }
sum() { awk '{ s += $1 + $2 } END { printf "%.2f", s }' "$1"; }
same=yes
compare() {  # the separate processes' files against one batch's folder
  for i in $(seq "$n"); do
    cmp -s "r$i.nii.gz" "$1/s$i/s$i.nii.gz" && cmp -s "r${i}_affine.txt" "$1/s$i/s${i}_affine.txt" \
      && cmp -s "r${i}_itk.txt" "$1/s$i/s${i}_itk.txt" || same=no
  done
}
: > walls.txt
for r in $(seq "$rounds"); do
  rm -rf out one cpu_sep.txt cpu_batch.txt cpu_one.txt
  t0=$(now)
  for i in $(seq "$n"); do
    cpu cpu_sep.txt "$build/tarvo" register "s$i.nii.gz" ref.nii.gz -o "r$i.nii.gz" --itk "r${i}_itk.txt" --quiet
  done
  t1=$(now)
  cpu cpu_batch.txt "$build/tarvo" batch ref.nii.gz list.txt --out-dir out --quiet
  t2=$(now)
  cpu cpu_one.txt "$build/tarvo" batch ref.nii.gz list.txt --out-dir one --quiet --jobs 1
  t3=$(now)
  compare out
  compare one
  line=$(awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" -v ps="$(sum cpu_sep.txt)" -v pb="$(sum cpu_batch.txt)" \
    -v po="$(sum cpu_one.txt)" 'BEGIN { printf "%.2f %.2f %.2f %s %s %s", b - a, c - b, d - c, ps, pb, po }')
  echo "$line" >> walls.txt
  echo "$line" | awk -v r="$r" -v l="$(cut -d' ' -f1 /proc/loadavg)" '{
    printf "round %d (load %s): wall separate %.2f s, batch %.2f s (%.3fx), batch --jobs 1 %.2f s (%.3fx); processor %.2f / %.2f / %.2f s\n",
      r, l, $1, $2, $1 / $2, $3, $1 / $3, $4, $5, $6 }'
done
awk -v n="$n" '{ for (k = 1; k <= 6; ++k) t[k] += $k } END {
  printf "all rounds, wall:      separate %.2f s (%.2f s per subject), batch %.2f s (%.2f s), batch --jobs 1 %.2f s (%.2f s)\n",
    t[1], t[1] / (n * NR), t[2], t[2] / (n * NR), t[3], t[3] / (n * NR)
  printf "speed-up, wall:        batch %.3fx, batch --jobs 1 %.3fx\n", t[1] / t[2], t[1] / t[3]
  printf "all rounds, processor: separate %.2f s, batch %.2f s (%.3fx), batch --jobs 1 %.2f s (%.3fx)\n",
    t[4], t[5], t[4] / t[5], t[6], t[4] / t[6] }' walls.txt
echo "outputs identical byte for byte (both batches, every round): $same"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

for k in 2 16; do
  seq "$k" | sed 's/^/s/; s/$/.nii.gz/' > "list$k.txt"
  /usr/bin/time -f "%M" -o "mem$k.txt" "$build/tarvo" batch ref.nii.gz "list$k.txt" --out-dir "m$k" --quiet > /dev/null
done
awk -v a="$(cat mem2.txt)" -v b="$(cat mem16.txt)" 'BEGIN {
  printf "peak memory: 2 subjects %d KiB, 16 subjects %d KiB (%+.1f %%)\n", a, b, 100 * (b - a) / a }'
