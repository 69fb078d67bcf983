#!/usr/bin/env bash
# The resampling, transform and correlation-ratio commands end to end on small phantoms.
set -u
TARVO=$1 PHANTOM=$2
IMGCMP=$(dirname "$TARVO")/imgcmp
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
small="--grid 40 48 40 --voxel 3 3 3 --head-length 100"

for dt in 2 4 16; do
  "$PHANTOM" --out t1_$dt.nii.gz --contrast t1 $small --datatype $dt || bad "phantom dt $dt"
  "$TARVO" -d t1_$dt.nii.gz -o half_$dt.nii.gz >out.txt || bad "-d datatype $dt"
  [ -s half_$dt.nii.gz ] && [ ! -s out.txt ] || bad "-d datatype $dt output"
  "$TARVO" -i t1_$dt.nii.gz 2 2.5 4 -o iso_$dt >out.txt || bad "-i datatype $dt"
  [ -s iso_$dt.nii.gz ] || bad "-i without extension writes .nii.gz"
done
"$PHANTOM" --out pair.hdr --analyze --contrast t2 $small || bad "phantom analyze"
"$TARVO" -d pair -o half_pair.nii >/dev/null || bad "-d on an ANALYZE pair given without extension"
FSLOUTPUTTYPE=NIFTI_PAIR "$TARVO" -d pair.hdr -o as_pair >/dev/null && [ -s as_pair.hdr ] && [ -s as_pair.img ] \
  || bad "FSLOUTPUTTYPE=NIFTI_PAIR"
out=$(FSLOUTPUTTYPE=JPEG "$TARVO" -d pair.hdr -o x); st=$?
[ $st -eq 1 ] && [ -n "$out" ] && [ ! -e x.nii.gz ] || bad "bad FSLOUTPUTTYPE: $st '$out'"

# A volume that cannot be written: a message, status 1, nothing left behind.
out=$("$TARVO" -d t1_2.nii.gz -o nodir/out.nii.gz); st=$?
[ $st -eq 1 ] && [ -n "$out" ] && [ ! -e nodir ] || bad "unwritable output: $st '$out'"
# A size that leaves no voxels is refused before any work.
out=$("$TARVO" -i t1_2.nii.gz 1000 1 1 -o none.nii.gz); st=$?
[ $st -eq 1 ] && [ ! -e none.nii.gz ] || bad "-i too coarse: $st '$out'"

# -tm and -tt: printed matrix, and the two routes to the same transform agree.
printf '1 0 0 5\n0 1 0 0\n0 0 1 0\n0 0 0 1\n' > shift.txt
out=$("$TARVO" -tm t1_4.nii.gz shift.txt -o tm.nii.gz) || bad "-tm"
want=$'Transform Matrix:\n1.000000 0.000000 0.000000 5.000000 \n0.000000 1.000000 0.000000 0.000000 \n0.000000 0.000000 1.000000 0.000000 \n0.000000 0.000000 0.000000 1.000000 '
[ "$out" = "$want" ] || bad "-tm printout: $out"
printf '0 0 0\n15 0 0\n1 1 1\n0 0 0\n' > shift_params.txt   # 15 mm = 5 voxels of 3 mm
out=$("$TARVO" -tt t1_4.nii.gz shift_params.txt -o tt.nii.gz) || bad "-tt"
[ "$out" = "$want" ] || bad "-tt printout: $out"
"$IMGCMP" tm.nii.gz tt.nii.gz --tolerance 0 >/dev/null || bad "-tm and -tt of the same shift differ"
printf '0 0 0 0 0 0 1 1 1 0 0 0' > default.txt
printf '1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1' > identity.txt
"$TARVO" -tt t1_4.nii.gz default.txt -o tt_id.nii.gz >/dev/null || bad "-tt default"
"$TARVO" -tm t1_4.nii.gz identity.txt -o tm_id.nii.gz >/dev/null || bad "-tm identity"
"$IMGCMP" tm_id.nii.gz tt_id.nii.gz --tolerance 0 >/dev/null || bad "-tt default differs from -tm identity"
: > empty.txt
out=$("$TARVO" -tm t1_4.nii.gz empty.txt -o tm_zero.nii.gz 2>err.txt) || bad "-tm empty"
grep -q "empty.txt" err.txt || bad "-tm empty file: no warning"
"$IMGCMP" tm_zero.nii.gz tm_id.nii.gz --tolerance 0 >/dev/null || bad "singular matrix is not the identity"

# -c: a head against itself, two contrasts aligned and moved, a constant source.
c() { "$TARVO" -c "$1" "$2" | sed -n 's/^CorrelationRatio is: //p'; }
self=$(c t1_4.nii.gz t1_16.nii.gz)
"$PHANTOM" --out t2.nii.gz --contrast t2 $small
"$PHANTOM" --out t2_moved.nii.gz --contrast t2 $small --affine 0 0 20 6 0 0 1 1 1 0 0 0
aligned=$(c t2.nii.gz t1_4.nii.gz)
moved=$(c t2_moved.nii.gz t1_4.nii.gz)
awk -v s="$self" -v a="$aligned" -v m="$moved" 'BEGIN { exit !(s < -0.9 && a < -0.5 && a < m) }' \
  || bad "-c: self $self, aligned $aligned, moved $moved"
printf '1 0 0 1000\n0 1 0 0\n0 0 1 0\n0 0 0 1\n' > away.txt
"$TARVO" -tm t1_4.nii.gz away.txt -o empty_head.nii.gz >/dev/null
[ "$("$TARVO" -c empty_head.nii.gz t1_4.nii.gz)" = $'CorrelationRatio is: 0.000000' ] || bad "-c constant source"
# Different voxel sizes: the source is resampled to the reference's first.
"$PHANTOM" --out t1_fine.nii.gz --contrast t1 --grid 60 72 60 --voxel 2 2 2 --head-length 100
fine=$(c t1_fine.nii.gz t1_4.nii.gz)
awk -v f="$fine" 'BEGIN { exit !(f < -0.8) }' || bad "-c across voxel sizes: $fine"

[ $fail -eq 0 ] && echo "commands: all passed (self $self, aligned $aligned, moved $moved, across sizes $fine)"
exit $fail
