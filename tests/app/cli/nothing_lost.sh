#!/usr/bin/env bash
# Bad input fails loudly and nothing is lost: damaged files are refused, no output may
# replace an input, images with nothing to register are refused, every error of the new
# commands is on standard error, background outside MOVING is 0, non-finite voxels are
# counted. Small images, no full registration (those are in nothing_lost_slow.sh).
set -u
TARVO=$1 PHANTOM=$2
PY=/usr/bin/python3
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
small="--grid 40 48 40 --voxel 3 3 3 --head-length 100"
"$PHANTOM" --out t1.nii.gz --contrast t1 $small --datatype 4 >/dev/null
"$PHANTOM" --out t2.nii.gz --contrast t2 $small --datatype 16 >/dev/null
"$PHANTOM" --out plain.nii --contrast t1 $small --datatype 4 >/dev/null
printf '1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n' > id.txt
havepy=0
$PY -c 'import nibabel, numpy' 2>/dev/null && havepy=1

# One line on standard error, nothing on standard output, status 1.
refused() {  # description, then the command
  local what=$1; shift
  "$@" >out.txt 2>err.txt; st=$?
  lines=$(wc -l < err.txt)
  [ $st -eq 1 ] && [ "$lines" -eq 1 ] && [ ! -s out.txt ] || bad "$what: status $st, $lines lines: $(cat out.txt err.txt)"
}
says() {  # description, text the error must hold
  grep -qF -- "$2" err.txt || bad "$1: error lacks '$2': $(cat err.txt)"
}

# --- Damaged gzip streams: cut anywhere (even only the trailer) or corrupted.
size=$(stat -c %s t1.nii.gz)
head -c $((size / 2)) t1.nii.gz > half.nii.gz
head -c $((size - 4)) t1.nii.gz > notrailer.nii.gz
cp t1.nii.gz flipped.nii.gz
printf '\xff' | dd of=flipped.nii.gz bs=1 seek=$((size - 6)) conv=notrunc 2>/dev/null  # in the CRC
head -c 2000 plain.nii > cut.nii
for f in half notrailer flipped; do
  refused "apply of $f.nii.gz" "$TARVO" apply $f.nii.gz t1.nii.gz id.txt -o o.nii.gz
  says "apply of $f.nii.gz" "$f.nii.gz' is truncated or its data cannot be read"
  refused "register of $f.nii.gz" "$TARVO" register t1.nii.gz $f.nii.gz -o o.nii.gz --quiet
  # The original commands: a failed load, in their words on standard output.
  out=$("$TARVO" -c $f.nii.gz t1.nii.gz 2>/dev/null); st=$?
  [ $st -eq 1 ] && echo "$out" | grep -q "truncated" || bad "-c of $f.nii.gz: status $st: $out"
done
refused "apply of a cut .nii" "$TARVO" apply cut.nii t1.nii.gz id.txt -o o.nii.gz
[ ! -e o.nii.gz ] || bad "a damaged input left an output"
# A stream in two members is whole (gunzip reads it so), and a .gz name holding plain
# data is read as it is.
gunzip -c t1.nii.gz > whole.nii
{ head -c 5000 whole.nii | gzip -c; tail -c +5001 whole.nii | gzip -c; } > members.nii.gz
cp whole.nii plaindata.nii.gz
for f in members plaindata; do
  "$TARVO" apply $f.nii.gz t1.nii.gz id.txt -o $f-o.nii.gz 2>err.txt || bad "$f.nii.gz refused: $(cat err.txt)"
  "$TARVO" apply t1.nii.gz t1.nii.gz id.txt -o ref-o.nii.gz
  cmp -s <(gunzip -c $f-o.nii.gz) <(gunzip -c ref-o.nii.gz) || bad "$f.nii.gz read otherwise than t1.nii.gz"
done

# --- No output replaces an input, whatever the name's spelling.
cp t1.nii.gz lab.nii.gz
ln -s t1.nii.gz link.nii.gz
sum=$(md5sum lab.nii.gz t1.nii.gz)
refused "apply -o without extension onto MOVING" "$TARVO" apply lab.nii.gz t2.nii.gz id.txt -o lab
says "apply -o lab" "would overwrite an input"
refused "apply -o through a link" "$TARVO" apply link.nii.gz t2.nii.gz id.txt -o t1
refused "apply -o as ./name" "$TARVO" apply t2.nii.gz lab.nii.gz id.txt -o ./lab.nii.gz
refused "apply -o onto the matrix" "$TARVO" apply t2.nii.gz lab.nii.gz id.txt -o id.txt
refused "register -o without extension" "$TARVO" register lab.nii.gz t2.nii.gz -o lab --quiet
refused "register --itk onto a mask" "$TARVO" register t2.nii.gz t1.nii.gz -o o.nii.gz --fixed-mask lab.nii.gz --itk lab.nii.gz
refused "register --matrix onto --init" "$TARVO" register t2.nii.gz t1.nii.gz --matrix id.txt --init ./id.txt
FSLOUTPUTTYPE=NIFTI_PAIR "$PHANTOM" --out pair.hdr $small >/dev/null
refused "apply -o onto a pair named by its data file" env FSLOUTPUTTYPE=NIFTI_PAIR "$TARVO" apply pair.img t1.nii.gz id.txt -o pair
[ "$(md5sum lab.nii.gz t1.nii.gz)" = "$sum" ] || bad "an input changed"
# A batch whose subject lies where its output would go is refused, and the input stays.
mkdir -p data/s1; cp t2.nii.gz data/s1/s1.nii.gz
echo data/s1/s1.nii.gz > list.txt
refused "batch over its input" "$TARVO" batch t1.nii.gz list.txt --out-dir data --quiet
says "batch over its input" "data/s1/s1.nii.gz' would overwrite an input"
cmp -s t2.nii.gz data/s1/s1.nii.gz || bad "batch removed or changed its input"

# --- Names of another kind.
refused "-o out.png" "$TARVO" apply t2.nii.gz t1.nii.gz id.txt -o out.png
refused "-o out.TXT" "$TARVO" register t2.nii.gz t1.nii.gz -o out.TXT --quiet
refused "--qc x.jpg" "$TARVO" register t2.nii.gz t1.nii.gz -o o.nii.gz --qc x.jpg --quiet
says "--qc x.jpg" ".png"
[ ! -e out.png.nii.gz ] && [ ! -e x.jpg ] || bad "a refused name was written"

# --- Nothing to register: constant, all-zero, all-NaN images and tiny masks.
"$PHANTOM" --out zero.nii.gz $small --affine 0 0 0 0 0 0 0.001 0.001 0.001 0 0 0 >/dev/null
refused "all-zero moving" "$TARVO" register zero.nii.gz t1.nii.gz -o o.nii.gz --quiet
says "all-zero moving" "is constant"
refused "all-zero fixed" "$TARVO" register t1.nii.gz zero.nii.gz -o o.nii.gz --quiet
# apply still resamples it: a constant image or a mask is fine to move.
"$TARVO" apply zero.nii.gz t1.nii.gz id.txt -o z.nii.gz 2>err.txt || bad "apply of a constant image: $(cat err.txt)"
"$TARVO" batch t1.nii.gz <(echo zero.nii.gz) --out-dir b0 --quiet >/dev/null 2>&1
grep -q "^zero	.*failed.*constant" b0/results.tsv 2>/dev/null || bad "batch: constant subject not failed: $(cat b0/results.tsv 2>&1)"
if [ $havepy -eq 1 ]; then
  $PY - <<'EOF'
import nibabel as nib, numpy as np
ref = nib.load("t1.nii.gz")
a = np.full(ref.shape, 7.0, np.float32)
nib.save(nib.Nifti1Image(a, ref.affine), "seven.nii.gz")
nib.save(nib.Nifti1Image(np.full(ref.shape, np.nan, np.float32), ref.affine), "nan.nii.gz")
m = np.zeros(ref.shape, np.uint8); m[20, 24, 20] = 1
nib.save(nib.Nifti1Image(m, ref.affine), "onevoxel.nii.gz")
m[10:30, 14:34, 10:30] = 1
nib.save(nib.Nifti1Image(m, ref.affine), "box.nii.gz")
d = np.asarray(ref.dataobj).astype(np.float32); d[0, 0, :5] = np.nan; d[1, 1, 1] = np.inf
nib.save(nib.Nifti1Image(d, ref.affine), "somenan.nii.gz")
nib.save(nib.Nifti2Image(d, ref.affine), "two.nii.gz")
bad = nib.Nifti1Image(d, ref.affine); bad.set_sform(np.diag([1, 1, 0, 1]), code=1)
nib.save(bad, "singular.nii.gz")
EOF
  refused "constant moving" "$TARVO" register seven.nii.gz t1.nii.gz -o o.nii.gz --quiet
  says "constant moving" "every voxel is 7"
  refused "all-NaN moving" "$TARVO" register nan.nii.gz t1.nii.gz -o o.nii.gz --quiet
  refused "one-voxel mask" "$TARVO" register t2.nii.gz t1.nii.gz -o o.nii.gz --fixed-mask onevoxel.nii.gz --quiet
  says "one-voxel mask" "at least 1000"
  refused "image constant inside its mask" "$TARVO" register t2.nii.gz seven.nii.gz -o o.nii.gz --fixed-mask box.nii.gz --quiet
  # Non-finite voxels: one warning that counts them; they read as 0.
  "$TARVO" apply somenan.nii.gz t1.nii.gz id.txt -o nano.nii.gz 2>err.txt || bad "apply with NaN voxels failed"
  grep -q "6 voxels that are not finite numbers.*taken as 0" err.txt || bad "NaN warning: $(cat err.txt)"
  $PY -c "
import nibabel as nib, numpy as np, sys
a = np.asarray(nib.load('nano.nii.gz').dataobj)
sys.exit(0 if np.all(np.isfinite(a)) and a[0, 0, 0] == 0 else 1)" || bad "NaN voxels not background 0"
  refused "NIfTI-2" "$TARVO" apply two.nii.gz t1.nii.gz id.txt -o o.nii.gz
  says "NIfTI-2" "NIfTI-2 image, which is not supported"
  "$TARVO" apply singular.nii.gz t1.nii.gz id.txt -o s.nii.gz 2>err.txt || bad "singular sform refused"
  grep -q "sform that is not usable.*instead\|sform that is not usable.*voxel grid" err.txt || bad "singular sform: no word of the matrix used instead: $(cat err.txt)"
else
  echo "SKIP: nibabel for /usr/bin/python3 not found; NaN, NIfTI-2 and mask cases skipped"
fi

# --- Background outside MOVING is 0 in physical values (t1.nii.gz is negative there).
printf '1 0 0 60\n0 1 0 0\n0 0 1 0\n0 0 0 1\n' > shift.txt
"$TARVO" apply t1.nii.gz t1.nii.gz shift.txt -o shifted.nii.gz
if [ $havepy -eq 1 ]; then
  $PY -c "
import nibabel as nib, numpy as np, sys
a = np.asarray(nib.load('shifted.nii.gz').get_fdata())
src = np.asarray(nib.load('t1.nii.gz').get_fdata())
# 60 mm = 20 voxels of 40 along x lie beyond MOVING on one side.
outside = a[-15:] if abs(a[-15:]).max() == 0 else a[:15]
sys.exit(0 if src.min() < 0 and abs(outside).max() == 0 else 1)" || bad "outside MOVING is not 0"
fi

# --- Errors of the new commands never reach standard output.
"$PHANTOM" --out slice.nii.gz --grid 40 48 1 --voxel 3 3 0.5 >/dev/null
mkdir folder.nii.gz
printf 'a\033[31mb\001\tx.nii\n' > control.txt
printf 'a\0b\tx.nii\n' > binary.txt
for setting in "TARVO_DEVICE=cuda" "TARVO_DEVICE=tpu" "TARVO_THREADS=abc" "TARVO_THREADS=0"; do
  [ "$setting" = "TARVO_DEVICE=cuda" ] && [ -n "$(command -v nvidia-smi)" ] && continue
  refused "register with $setting" env $setting "$TARVO" register t2.nii.gz t1.nii.gz -o o.nii.gz --quiet
  refused "apply with $setting" env $setting "$TARVO" apply t2.nii.gz t1.nii.gz id.txt -o o.nii.gz
  refused "batch with $setting" env $setting "$TARVO" batch t1.nii.gz <(echo t2.nii.gz) --out-dir bd --quiet
  # The original commands refuse it as well, on their stream.
  out=$(env $setting "$TARVO" -c t2.nii.gz t1.nii.gz 2>/dev/null); st=$?
  [ $st -eq 1 ] && echo "$out" | grep -q "^Error: TARVO_" || bad "-c with $setting: $st $out"
done
refused "one-slice moving" "$TARVO" register slice.nii.gz t1.nii.gz -o o.nii.gz --quiet
refused "one-slice fixed" "$TARVO" register t1.nii.gz slice.nii.gz -o o.nii.gz --quiet
refused "folder as an image" "$TARVO" apply folder.nii.gz t1.nii.gz id.txt -o o.nii.gz
says "folder as an image" "is a folder"
refused "--init sideways" "$TARVO" register t2.nii.gz t1.nii.gz -o o.nii.gz --init sideways --quiet
says "--init sideways" "header, centroid, identity or a matrix file"
refused "binary list" "$TARVO" batch t1.nii.gz binary.txt --out-dir bl --quiet
says "binary list" "not a text file"
refused "control characters in a list" "$TARVO" batch t1.nii.gz control.txt --out-dir bl --quiet
LC_ALL=C grep -q '[[:cntrl:]]' <(tr -d '\n' < err.txt) && bad "list: raw control bytes in the message: $(cat -v err.txt)"
refused "--merge without the folder" "$TARVO" batch t1.nii.gz list.txt --out-dir nowhere --merge
says "--merge without the folder" "'nowhere' does not exist"

[ $fail -eq 0 ] && echo "nothing lost: all passed"
exit $fail
