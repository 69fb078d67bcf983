#!/usr/bin/env bash
# Whole registrations ("-r"): seconds and evaluations per pyramid level, the time inside
# the cost, and the total, with the independent chains batched (default) and run one by
# one (TARVO_SEQUENTIAL=1). Cases: the shared subject volumes against the template when
# present, and a phantom pair of different contrasts.
# Usage: bench/register.sh [build-dir] [repeats]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
repeats=${2:-1}
data=$(pwd)/../shared/data
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cases=()
if [ -f "$data/icbm2009_t1_1mm.nii.gz" ]; then
  cases+=("t1-0.88mm->template:$data/subject_t1_0.88mm.nii.gz:$data/icbm2009_t1_1mm.nii.gz")
  cases+=("flair->template:$data/subject_flair_1mm.nii.gz:$data/icbm2009_t1_1mm.nii.gz")
fi
if [ -x "$build/phantom" ] &&
   "$build/phantom" --out "$tmp/ref.nii" --contrast t1 --grid 128 128 128 --head-length 128 >/dev/null 2>&1 &&
   "$build/phantom" --out "$tmp/src.nii" --contrast t2 --grid 128 128 128 --head-length 128 \
     --affine 10 -5 8 4 -3 2 1 1 1 0 0 0 >/dev/null 2>&1; then
  cases+=("phantom-t2->t1:$tmp/src.nii:$tmp/ref.nii")
fi

timer=()
[ -x /usr/bin/time ] && timer=(/usr/bin/time -f "cmd %e %M")
echo "date: $(date -u +%F)  machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
header=$(printf '%-22s %-10s %8s %8s %8s %8s %8s %8s %8s %8s %8s' case mode total_s cr_s evals \
  8mm_s 4mm_s 2mm_s 1mm_s cmd_s peak_MB)
for c in "${cases[@]}"; do
  name=${c%%:*}; rest=${c#*:}; src=${rest%%:*}; ref=${rest#*:}
  for mode in batched sequential; do
    seq=0; [ "$mode" = sequential ] && seq=1
    for ((r = 0; r < repeats; r++)); do
      # The whole command (reading, writing and start-up included) and its peak memory.
      (cd "$tmp" && TARVO_SEQUENTIAL=$seq TARVO_VERBOSE=1 "${timer[@]}" \
        "$build/tarvo" -r "$src" "$ref" -o "$tmp/out.nii" >"$tmp/out.txt" 2>"$tmp/err.txt")
      cmd=$(sed -n 's/^cmd \([0-9.]*\) .*/\1/p' "$tmp/err.txt")
      peak=$(sed -n 's/^cmd [0-9.]* \([0-9]*\)$/\1/p' "$tmp/err.txt")
      [ -n "$peak" ] && peak=$((peak / 1024))
      total=$(sed -n 's/.*used: \([0-9.]*\)s,global count is: \([0-9]*\).*/\1/p' "$tmp/out.txt")
      evals=$(sed -n 's/.*global count is: \([0-9]*\).*/\1/p' "$tmp/out.txt")
      cr=$(sed -n 's/.*total time for CR Calculation: \([0-9.]*\)s.*/\1/p' "$tmp/out.txt")
      lv() { sed -n "s/^tarvo: level $1: [0-9]* evaluations ([0-9]* known), \([0-9.]*\)s.*/\1/p" "$tmp/err.txt"; }
      if [ -z "${device:-}" ]; then
        device=$(sed -n 's/^tarvo: device //p' "$tmp/err.txt" | head -1)
        echo "device: $device"
        echo "$header"
      fi
      printf '%-22s %-10s %8s %8s %8s %8s %8s %8s %8s %8s %8s\n' "$name" "$mode" "$total" "$cr" \
        "$evals" "$(lv 8mm)" "$(lv 4mm)" "$(lv 2mm)" "$(lv 1mm)" "${cmd:--}" "${peak:--}"
      grep '^tarvo: level' "$tmp/err.txt" | sed 's/^tarvo: /    /' 
    done
  done
  grep '^12 DOF 1mm:' "$tmp/out.txt" | sed "s/^/  $name result: /"
done
