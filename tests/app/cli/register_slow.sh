#!/usr/bin/env bash
# The main job end to end: a T2-like head moved by a known affine, registered to a
# T1-like head. The recovered transform must put the head voxels within 2 mm of where the
# true one does on average and within 4 mm at worst (a sign or convention fault leaves
# tens of millimetres); "test.txt" must read back through -tm.
set -u
TARVO=$1 PHANTOM=$2
XFDIST=$(dirname "$TARVO")/xfdist
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

truth="-14 9 22 7 -11 5 1.06 0.95 1.0 0 0 0"
grid="--grid 144 168 144 --voxel 1 1 1 --head-length 128"
"$PHANTOM" --out ref.nii.gz --contrast t1 $grid --noise 3 --seed 1 --datatype 4
"$PHANTOM" --out src.nii.gz --contrast t2 $grid --noise 3 --seed 2 --affine $truth
"$TARVO" -r src.nii.gz ref.nii.gz -o out.nii.gz > log.txt || bad "-r status"
[ -s out.nii.gz ] || bad "no output image"

# The printed lines, in order.
grep -q '^========= 8mm ===========$' log.txt && grep -q '^MedianScale is:' log.txt \
  && grep -q '^12 DOF 1mm:Rotate:(' log.txt || bad "progress lines missing"
order=$(grep -E '^(=========|MedianScale|[0-9]:rotation|7 DOF|9 DOF|12 DOF)' log.txt | cut -c1-10 | tr '\n' '|')
[ "$order" = "========= |0:rotation|1:rotation|2:rotation|MedianScal|========= |0:rotation|========= |7 DOF 2mm:|9 DOF 2mm:|12 DOF 2mm|========= |12 DOF 1mm|" ] \
  || bad "line order: $order"
tail -n 1 log.txt | grep -qE '^ total registration time used: [0-9]+\.[0-9]{3}s $' || bad "last line: $(tail -n 1 log.txt)"
grep -qE 'global count is: [0-9]+$' log.txt || bad "global count line"

# test.txt is the printed inverse, and -tm reads it back as the same sixteen numbers.
matrix=$(tail -n 6 log.txt | head -n 4)
[ "$matrix" = "$(cat test.txt)" ] || bad "test.txt differs from the printed matrix"
back=$("$TARVO" -tm src.nii.gz test.txt -o back.nii.gz | tail -n 4)
[ "$back" = "$(cat test.txt)" ] || bad "-tm does not read test.txt back"

dist=$("$XFDIST" src.nii.gz ref.nii.gz test.txt $truth) || bad "xfdist"
echo "distance: $dist"
awk -v d="$dist" 'BEGIN { split(d, w, " "); exit !(w[2] < 2.0 && w[5] < 4.0) }' || bad "too far: $dist"

[ $fail -eq 0 ] && echo "register: all passed" || cat log.txt
exit $fail
