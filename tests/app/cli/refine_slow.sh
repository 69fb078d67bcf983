#!/usr/bin/env bash
# The precision stage of tarvo register on phantom pairs with a known transform, stored
# in the reference's layout and sagittally: with the stage the world matrix must lie far
# closer to the truth than the search's own answer (--no-refine), and --no-refine must
# give the search's answer as it was.
set -u
TARVO=$1 PHANTOM=$2
XFDIST=$(dirname "$TARVO")/xfdist
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

truth="-14 9 22 7 -11 5 1.06 0.95 1.0 0.02 0 -0.01"
head="--head-length 110 --datatype 16"
"$PHANTOM" --out fixed.nii.gz --contrast t1 --grid 64 72 64 --voxel 2 2 2 $head >/dev/null
"$PHANTOM" --out reference.nii.gz --contrast t1 --grid 64 72 64 --voxel 2 2 2 $head --noise 2 --affine $truth >/dev/null
"$PHANTOM" --out sagittal.nii.gz --contrast t1 --grid 72 64 64 --voxel 2 2 2 $head --noise 2 --affine $truth --layout sagittal >/dev/null

for layout in reference sagittal; do
  "$TARVO" register $layout.nii.gz fixed.nii.gz --matrix search.txt --no-refine --quiet >/dev/null || bad "$layout: --no-refine status"
  "$TARVO" register $layout.nii.gz fixed.nii.gz --matrix refined.txt --quiet >/dev/null || bad "$layout: register status"
  s=$("$XFDIST" --world $layout.nii.gz fixed.nii.gz search.txt $truth) || bad "$layout: xfdist"
  r=$("$XFDIST" --world $layout.nii.gz fixed.nii.gz refined.txt $truth) || bad "$layout: xfdist"
  echo "$layout: search $s; precision stage $r"
  awk -v s="$s" -v r="$r" 'BEGIN { split(s, a, " "); split(r, b, " "); exit !(b[2] < 0.1 && b[2] < 0.5 * a[2]) }' ||
    bad "$layout: the stage did not bring the matrix close to the truth"
done
exit $fail
