#!/usr/bin/env bash
# register reads every common datatype through its physical values: uint16, float64 and
# slope-scaled int16 copies of an int16 moving image give the int16 copy's matrix to the
# last written digit (the values differ by an offset and a scale, which the mapping onto
# 0..255 takes out), and the output keeps the moving image's datatype and physical values.
set -u
TARVO=$1 PHANTOM=$2
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

truth="-14 9 22 7 -11 5 1.06 0.95 1.0 0 0 0"
grid="--grid 56 64 56 --voxel 2 2 2 --head-length 100 --noise 3"
"$PHANTOM" --out fixed.nii.gz --contrast t1 $grid --seed 1
"$PHANTOM" --out int16.nii.gz --contrast t2 $grid --seed 2 --affine $truth --datatype 4
/usr/bin/python3 - <<'PY' || { echo "FAIL cannot write the copies"; exit 1; }
import nibabel as nib, numpy as np
src = nib.load('int16.nii.gz'); a = np.asarray(src.dataobj).astype(np.int32)
def save(data, name, slope=1.0, inter=0.0):
    im = nib.Nifti1Image(data, src.affine, src.header.copy())
    im.set_data_dtype(data.dtype); im.header.set_slope_inter(slope, inter); nib.save(im, name)
save((a - a.min()).astype(np.uint16), 'uint16.nii.gz')
save(a.astype(np.float64), 'float64.nii.gz')
save(a.astype(np.int16), 'scaled.nii.gz', 0.25, 7.0)
PY

"$TARVO" register int16.nii.gz fixed.nii.gz --matrix int16.txt --quiet > /dev/null || bad "int16 status"
for t in uint16 float64 scaled; do
  "$TARVO" register $t.nii.gz fixed.nii.gz -o out_$t.nii.gz --quiet > /dev/null || bad "$t status"
  cmp -s out_${t}_affine.txt int16.txt || bad "$t: another matrix than the int16 copy's"
done
/usr/bin/python3 - <<'PY' || bad "outputs do not keep the moving image's type and values"
import nibabel as nib, numpy as np
for t, dtype in (('uint16', np.uint16), ('float64', np.float64), ('scaled', np.int16)):
    src = nib.load(t + '.nii.gz'); out = nib.load('out_' + t + '.nii.gz')
    assert out.get_data_dtype() == dtype, (t, out.get_data_dtype())
    s, o = src.get_fdata(), out.get_fdata()
    # Physical values within the range of the input (the resampler blends, never extrapolates)
    assert o.min() >= min(s.min(), 0) - 1e-3 and o.max() <= s.max() + 1e-3, (t, o.min(), o.max())
PY

[ $fail -eq 0 ] && echo "world datatypes: all passed"
exit $fail
