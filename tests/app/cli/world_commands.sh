#!/usr/bin/env bash
# tarvo register / apply without a registration: help, version, refusals (one line on
# standard error, status 1, no file), the matrix formats apply reads, and apply's world
# geometry on re-sliced grids.
set -u
TARVO=$1 PHANTOM=$2
IMGCMP=$(dirname "$TARVO")/imgcmp
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
small="--grid 40 48 40 --voxel 3 3 3 --head-length 100"
"$PHANTOM" --out t1.nii.gz --contrast t1 $small --datatype 4
"$PHANTOM" --out sag.nii.gz --contrast t1 --grid 48 40 40 --voxel 3 3 3 --head-length 100 --datatype 4 --layout sagittal
"$PHANTOM" --out other.nii.gz --contrast t1 --grid 40 48 41 --voxel 3 3 3 --head-length 100

# Help and version: status 0, on standard output.
for args in "--help" "--version" "register --help" "apply --help"; do
  out=$("$TARVO" $args 2>err.txt); st=$?
  [ $st -eq 0 ] && [ -n "$out" ] && [ ! -s err.txt ] || bad "'$args': status $st"
done
"$TARVO" --version | grep -qE '^tarvo [0-9]+\.[0-9]+\.[0-9]+$' || bad "version line"
"$TARVO" register --help | grep -q -- '--moving-mask' || bad "register help lacks --moving-mask"
# The classic dispatch is untouched: an unknown word still gets the usage text.
out=$("$TARVO" registr a b 2>/dev/null); st=$?
[ $st -eq 1 ] && echo "$out" | grep -q "Please input as" || bad "unknown command: $st"

# Refusals: one line on standard error, status 1, nothing written.
refuse() {  # description, then the arguments
  local what=$1; shift
  out=$("$TARVO" "$@" 2>err.txt); st=$?
  lines=$(wc -l < err.txt)
  [ $st -eq 1 ] && [ "$lines" -eq 1 ] && [ -z "$out" ] || bad "$what: status $st, $lines lines: $(cat err.txt)"
  [ ! -e o.nii.gz ] && [ ! -e m.txt ] && [ ! -e o_affine.txt ] || bad "$what left a file"
  rm -f o.nii.gz m.txt o_affine.txt
}
refuse "no output" register t1.nii.gz t1.nii.gz
refuse "dof 5" register t1.nii.gz t1.nii.gz -o o.nii.gz --dof 5
refuse "quiet and verbose" register t1.nii.gz t1.nii.gz -o o.nii.gz --quiet --verbose
refuse "unknown option" register t1.nii.gz t1.nii.gz -o o.nii.gz --smooth 3
refuse "extra argument" register t1.nii.gz t1.nii.gz extra -o o.nii.gz
refuse "missing moving" register none.nii.gz t1.nii.gz -o o.nii.gz
refuse "output folder missing" register t1.nii.gz t1.nii.gz -o nodir/o.nii.gz
refuse "output over an input" register t1.nii.gz sag.nii.gz -o t1.nii.gz
refuse "two outputs one name" register t1.nii.gz sag.nii.gz --matrix m.txt --itk m.txt
refuse "mask on another grid" register t1.nii.gz t1.nii.gz -o o.nii.gz --fixed-mask other.nii.gz
refuse "init file missing" register t1.nii.gz t1.nii.gz -o o.nii.gz --init nothere.txt
refuse "threads 0" register t1.nii.gz t1.nii.gz -o o.nii.gz --threads 0
refuse "apply without -o" apply t1.nii.gz t1.nii.gz m.txt
refuse "apply bad interp" apply t1.nii.gz t1.nii.gz m.txt -o o.nii.gz --interp cubic
printf '1 0 0 0\n0 1 0 0\n0 0 0 0\n0 0 0 1\n' > singular.txt
printf '1 0 0 nan\n0 1 0 0\n0 0 1 0\n0 0 0 1\n' > nan.txt
printf '1 0 0 0\n0 1 0 0\n0 0 1 0\n' > short.txt
printf '1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 2 1\n' > lastrow.txt
for f in singular nan short lastrow; do
  refuse "apply $f matrix" apply t1.nii.gz t1.nii.gz $f.txt -o o.nii.gz
  refuse "register --init $f matrix" register t1.nii.gz t1.nii.gz -o o.nii.gz --init $f.txt
done
printf '#Insight Transform File V1.0\n#Transform 0\nTransform: Euler3DTransform_double_3_3\nParameters: 0 0 0 0 0 0\nFixedParameters: 0 0 0\n' > euler.tfm
refuse "apply ITK transform of another type" apply t1.nii.gz t1.nii.gz euler.tfm -o o.nii.gz

# apply with the identity: the sagittal copy of the head resampled onto the reference
# grid is the reference image (the same head, the same world); the ITK form of the
# identity (LPS) does the same, and a 6 mm shift in RAS is 2 voxels along +x.
printf '1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n' > id.txt
printf '#Insight Transform File V1.0\n#Transform 0\nTransform: AffineTransform_double_3_3\nParameters: 1 0 0 0 1 0 0 0 1 0 0 0\nFixedParameters: 5 6 7\n' > id.tfm
"$TARVO" apply sag.nii.gz t1.nii.gz id.txt -o back.nii.gz || bad "apply identity"
"$IMGCMP" back.nii.gz t1.nii.gz --tolerance 0.02 >cmp.txt || bad "sagittal copy through the identity: $(cat cmp.txt)"
"$TARVO" apply sag.nii.gz t1.nii.gz id.tfm -o back_itk.nii.gz || bad "apply ITK identity"
"$IMGCMP" back_itk.nii.gz back.nii.gz --tolerance 0 >cmp.txt || bad "ITK identity differs: $(cat cmp.txt)"
"$TARVO" apply t1.nii.gz t1.nii.gz id.txt -o same.nii.gz --interp nearest || bad "apply nearest"
"$IMGCMP" same.nii.gz t1.nii.gz --tolerance 0 >cmp.txt || bad "nearest identity is not the image: $(cat cmp.txt)"
printf '1 0 0 6\n0 1 0 0\n0 0 1 0\n0 0 0 1\n' > shift.txt
printf '#Insight Transform File V1.0\n#Transform 0\nTransform: AffineTransform_double_3_3\nParameters: 1 0 0 0 1 0 0 0 1 -6 0 0\nFixedParameters: 0 0 0\n' > shift.tfm
"$TARVO" apply t1.nii.gz t1.nii.gz shift.txt -o shifted.nii.gz --interp nearest || bad "apply shift"
"$TARVO" apply t1.nii.gz t1.nii.gz shift.tfm -o shifted_itk.nii.gz --interp nearest || bad "apply ITK shift"
"$IMGCMP" shifted.nii.gz shifted_itk.nii.gz --tolerance 0 >cmp.txt || bad "RAS and LPS shifts differ: $(cat cmp.txt)"
/usr/bin/python3 - <<'PY' || bad "shift by 6 mm along R is not two voxels"
import nibabel as nib, numpy as np
a = np.asarray(nib.load('t1.nii.gz').dataobj); b = np.asarray(nib.load('shifted.nii.gz').dataobj)
# output voxel i shows the input at world x + 6 mm, i.e. voxel i + 2
# (one stored unit of rounding in the int16 round trip)
assert np.abs(b[:-2].astype(int) - a[2:]).max() <= 1, "shifted content"
PY

[ $fail -eq 0 ] && echo "world commands: all passed"
exit $fail
