#!/usr/bin/env bash
# Dispatch: usage and help texts byte for byte, exit statuses, options and counts.
set -u
TARVO=$1
fail=0
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cat > "$tmp/usage" <<'TXT'

==========================================================================
Please input as 'tarvo <option> <input1> (<...>) -o <output>'
Option:  -r  srcimg.nii refimg.nii      :  Tarvo Registration.
         -tm srcimg.nii <matrixfile>    :  Transform using matrix.
         -tt srcimg.nii <transformfile> :  Transfrom using transfer description.
         -i  srcimg.nii <dx> <dy> <dz>  :  Isotropic resample.
         -d  srcimg.nii                 :  Smooth half resample.
         -c  srcimg.nii refimg.nii      :  Calculate correlation ration.
==========================================================================

TXT
cp "$tmp/usage" "$tmp/usage_help"
cat >> "$tmp/usage_help" <<'TXT'
Please write the transformfile in the style below:
---------------------------------------
RotationX       RotationY       RotationZ
TranslationX    TranslationY    TranslationZ
ScaleX          ScaleY          ScaleZ
SkewX           SkewY           SkewZ
---------------------------------------
Note: Rotation is in degree.

TXT
# Byte-exact comparison of the whole stream, trailing newlines included.
exact() {  # name, expected file, args...
  local name=$1 expect=$2; shift 2
  "$TARVO" "$@" > "$tmp/got" 2>"$tmp/err"; local st=$?
  if [ $st -ne 1 ]; then echo "FAIL $name: status $st"; fail=1; fi
  if ! cmp -s "$tmp/got" "$expect"; then echo "FAIL $name: stdout differs"; diff "$tmp/got" "$expect" | head; fail=1; fi
  if [ -s "$tmp/err" ]; then echo "FAIL $name: wrote to stderr"; fail=1; fi
}
exact "no args" "$tmp/usage"
exact "-r count 5" "$tmp/usage" -r a.nii b.nii -o
exact "-tt count 4" "$tmp/usage_help" -tt a.nii t.txt
exact "-tm count 5" "$tmp/usage" -tm a.nii m.txt -o
for o in -R r -rr --r -C ""; do exact "option '$o'" "$tmp/usage" "$o" a b -o c; done
exact "-c with output" "$tmp/usage" -c a.nii b.nii -o out.nii
exact "-i count 7" "$tmp/usage" -i a.nii 1 1 1 -o
exact "-i zero size" "$tmp/usage" -i a.nii 2 2 abc -o out.nii
exact "-i negative size" "$tmp/usage" -i a.nii 2 -1 2 -o out.nii
exact "-i nan size" "$tmp/usage" -i a.nii nan 2 2 -o out.nii
exact "-d count 4" "$tmp/usage" -d a.nii out.nii

# Accepted command lines reach the driver: the missing image is reported, not the usage.
cd "$tmp"
out=$("$TARVO" -d missing.nii X out.nii); st=$?
[ $st -eq 1 ] && [ "$out" = "Error: File 'missing.nii' not exist!" ] || { echo "FAIL -d X: $st '$out'"; fail=1; }
out=$("$TARVO" -i missing.nii 1.5x 2 2 -o out.nii); st=$?
[ $st -eq 1 ] && [ "$out" = "Error: File 'missing.nii' not exist!" ] || { echo "FAIL -i 1.5x: $st '$out'"; fail=1; }
out=$("$TARVO" -tt missing.nii nofile.txt -o out.nii); st=$?
[ $st -eq 1 ] && [ "$out" = "Param description file nofile.txt, not exists!" ] || { echo "FAIL -tt missing: $st '$out'"; fail=1; }
out=$("$TARVO" -tm missing.nii nofile.txt -o out.nii); st=$?
[ $st -eq 1 ] && [ "$out" = "Matrix description file nofile.txt not exists!" ] || { echo "FAIL -tm missing: $st '$out'"; fail=1; }
mkdir adir
out=$("$TARVO" -tm missing.nii adir -o out.nii); st=$?
[ $st -eq 1 ] && [ "$out" = "Matrix description file adir not exists!" ] || { echo "FAIL -tm dir: $st '$out'"; fail=1; }
out=$(TARVO_DEVICE=abacus "$TARVO" -c a.nii b.nii); st=$?
[ $st -eq 1 ] || { echo "FAIL bad TARVO_DEVICE: $st"; fail=1; }
[ $fail -eq 0 ] && echo "usage: all passed"
exit $fail
