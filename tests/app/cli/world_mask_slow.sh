#!/usr/bin/env bash
# A moving mask is what makes this registration succeed: the moving image holds two heads
# side by side, the moved one and an unmoved copy that matches the fixed head even better.
# Without a mask the search takes the copy (tens of mm from the truth); with a mask on the
# moved head it recovers the known transform. The mask also moves the start: the centroid
# of the masked part is paired with the fixed one. The same with a fixed mask, where the
# fixed image holds a second head beside the one to register to.
set -u
TARVO=$1 PHANTOM=$2
XFDIST=$(dirname "$TARVO")/xfdist
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

truth="-14 9 22 7 -11 5 1.06 0.95 1.0 0 0 0"
grid="--grid 64 72 64 --voxel 2 2 2 --head-length 110 --noise 3"
"$PHANTOM" --out fixed.nii.gz --contrast t1 $grid --seed 1 --datatype 4
"$PHANTOM" --out moved.nii.gz --contrast t2 $grid --seed 2 --affine $truth
"$PHANTOM" --out copy.nii.gz --contrast t2 $grid --seed 5
/usr/bin/python3 - <<'PY' || { echo "FAIL cannot build the two-head image"; exit 1; }
import nibabel as nib, numpy as np
moved = nib.load('moved.nii.gz'); copy = nib.load('copy.nii.gz')
data = np.concatenate([np.asarray(copy.dataobj), np.asarray(moved.dataobj)], axis=0)
aff = moved.affine.copy(); aff[0, 3] -= moved.shape[0] * 2   # the moved head keeps its world place
def save(a, name):
    im = nib.Nifti1Image(a, aff); im.header.set_sform(aff, 1); im.header.set_qform(aff, 1); nib.save(im, name)
save(data, 'two.nii.gz')
mask = np.zeros(data.shape, np.uint8); mask[moved.shape[0]:] = 1
save(mask, 'mask.nii.gz')
fixed = nib.load('fixed.nii.gz')
save(np.concatenate([np.asarray(fixed.dataobj)[::-1], np.asarray(fixed.dataobj)], axis=0), 'two_fixed.nii.gz')
PY

"$TARVO" register two.nii.gz fixed.nii.gz --matrix plain.txt > /dev/null || bad "register without mask"
plain=$("$XFDIST" --world two.nii.gz fixed.nii.gz plain.txt $truth)
echo "without mask: $plain"
awk -v d="$plain" 'BEGIN { split(d, w, " "); exit !(w[2] > 20) }' || bad "the decoy did not mislead: $plain"

"$TARVO" register two.nii.gz fixed.nii.gz --matrix masked.txt --moving-mask mask.nii.gz > /dev/null || bad "register with mask"
masked=$("$XFDIST" --world two.nii.gz fixed.nii.gz masked.txt $truth)
echo "with the moving mask: $masked"
awk -v d="$masked" 'BEGIN { split(d, w, " "); exit !(w[2] < 2.0 && w[5] < 4.0) }' || bad "masked: too far: $masked"

# The fixed image with a second (mirrored) head: its mask keeps the real one, whose world
# place is that of fixed.nii.gz, so the distance is measured there.
"$TARVO" register moved.nii.gz two_fixed.nii.gz --matrix fixmask.txt --fixed-mask mask.nii.gz > /dev/null \
  || bad "register with a fixed mask"
fixmask=$("$XFDIST" --world moved.nii.gz fixed.nii.gz fixmask.txt $truth)
echo "with the fixed mask: $fixmask"
awk -v d="$fixmask" 'BEGIN { split(d, w, " "); exit !(w[2] < 2.0 && w[5] < 4.0) }' || bad "fixed mask: too far: $fixmask"

[ $fail -eq 0 ] && echo "world mask: all passed"
exit $fail
