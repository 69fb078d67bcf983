#!/usr/bin/env bash
# A registration gives the same parameters, printed lines, evaluation count, "test.txt" and
# image whether the search's independent chains run batched or one by one, whatever the
# number of CPU threads and whether the vector path is used.
set -u
TARVO=$1 PHANTOM=$2
fail=0
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
grid="--grid 128 128 128 --voxel 1 1 1 --head-length 128"
"$PHANTOM" --out ref.nii.gz --contrast t1 $grid --noise 2 --seed 3
"$PHANTOM" --out src.nii.gz --contrast t2 $grid --noise 2 --seed 4 --affine 8 -12 5 -4 6 3 0.97 1.03 1 0 0 0

run() {  # name, environment...
  local name=$1; shift
  mkdir "$name"
  (cd "$name" && env "$@" "$TARVO" -r ../src.nii.gz ../ref.nii.gz -o out.nii > log.txt) || { echo "FAIL $name status"; fail=1; }
  # Everything but the two timing lines and the total time.
  grep -vE 'registration time|time for CR|total registration time' "$name/log.txt" > "$name/lines.txt"
}
run batched
run sequential TARVO_SEQUENTIAL=1
run onethread TARVO_THREADS=1
run scalar TARVO_SIMD=0 TARVO_THREADS=3
grep -q 'global count is: [0-9]' batched/log.txt || { echo "FAIL no count"; fail=1; }
count() { sed -n 's/.*global count is: \([0-9]*\).*/\1/p' "$1/log.txt"; }
for other in sequential onethread scalar; do
  cmp -s batched/lines.txt $other/lines.txt || { echo "FAIL printed lines differ: $other"; diff batched/lines.txt $other/lines.txt | head; fail=1; }
  [ "$(count batched)" = "$(count $other)" ] || { echo "FAIL count differs: $other"; fail=1; }
  cmp -s batched/test.txt $other/test.txt || { echo "FAIL test.txt differs: $other"; fail=1; }
  cmp -s batched/out.nii $other/out.nii || { echo "FAIL image differs: $other"; fail=1; }
done
[ $fail -eq 0 ] && echo "modes: all passed ($(count batched) evaluations each)"
exit $fail
