#!/usr/bin/env bash
# tarvo batch without a registration: what is refused before any work, and subjects that
# cannot be read, each failing with its reason while the batch goes on.
set -u
TARVO=$1 PHANTOM=$2
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
"$PHANTOM" --out ref.nii.gz --grid 24 24 24 --voxel 4 4 4 --head-length 80 --datatype 4

# Refused up front: status 1, one error line, and no output folder.
refuse() {  # name, then the arguments after "batch"
  local name=$1; shift
  "$TARVO" batch "$@" > out.txt 2> err.txt; local rc=$?
  [ $rc -eq 1 ] || bad "$name: status $rc"
  grep -q '^tarvo batch: error: ' err.txt || bad "$name: no error line: $(cat err.txt)"
  [ ! -e never ] || bad "$name: made the output folder"
  [ ! -s out.txt ] || bad "$name: wrote on standard output"
}
printf 'a/s.nii.gz\nb/s.nii\n' > dup.txt
refuse "duplicate ids" ref.nii.gz dup.txt --out-dir never
grep -q "'s' on lines 1 and 2" err.txt || bad "duplicate ids: $(cat err.txt)"
printf 'x.nii\n' > one.txt
refuse "missing list" ref.nii.gz nolist.txt --out-dir never
refuse "no out-dir" ref.nii.gz one.txt
refuse "moving mask" ref.nii.gz one.txt --out-dir never --moving-mask ref.nii.gz
refuse "bad shard" ref.nii.gz one.txt --out-dir never --shard 3/2
refuse "shard and merge" ref.nii.gz one.txt --out-dir never --shard 1/2 --merge
refuse "unknown option" ref.nii.gz one.txt --out-dir never --frobnicate
refuse "no lanes" ref.nii.gz one.txt --out-dir never --jobs 0
refuse "missing fixed" nofixed.nii one.txt --out-dir never
SLURM_ARRAY_TASK_ID=7 refuse "array without numbers" ref.nii.gz one.txt --out-dir never
"$TARVO" batch --help | grep -q -- '--shard I/N' || bad "help"

# Subjects that cannot be used: each fails with its own reason, the others are tried (three
# at once: the rows still come in list order).
: > empty.nii
cp ref.nii.gz ok.nii.gz; gunzip -c ref.nii.gz > complex.nii
# datatype 32 (complex64), bitpix 64
printf '\x20\x00\x40\x00' | dd of=complex.nii bs=1 seek=70 conv=notrunc 2>/dev/null
mkdir folder.nii
printf 'missing.nii.gz\nempty.nii\ncomplex.nii\nfolder.nii\n' > list.txt
"$TARVO" batch ref.nii.gz list.txt --out-dir out --jobs 3 > out.txt 2> err.txt; rc=$?
[ $rc -eq 1 ] || bad "bad subjects: status $rc"
[ "$(grep -c 'failed' out/results.tsv)" -eq 4 ] || bad "rows: $(cat out/results.tsv)"
[ "$(head -n 1 out/results.tsv)" = "$(printf 'id\tpath\tstatus\tcost\tseconds\tmessage\tfixed_overlap\tmoving_overlap\tturn\tverdict\treason')" ] || bad "header"
# A failure has no verdict: its five columns are empty.
awk -F '\t' 'NR > 1 && (NF != 11 || $7 $8 $9 $10 $11 != "") { exit 1 }' out/results.tsv || bad "verdict of a failure"
cut -f 1 out/results.tsv | tr '\n' ' ' | grep -q '^id missing empty complex folder $' || bad "row order"
awk -F '\t' 'NR > 1 && ($6 == "" || index($6, $2) == 0) { exit 1 }' out/results.tsv || bad "messages name the file"
[ "$(grep -c 'tarvo batch: \[[1-4]/4\]' err.txt)" -eq 4 ] || bad "one progress line per subject: $(cat err.txt)"
grep -q '^failed: 4$' out.txt && grep -q '^results: out/results.tsv$' out.txt || bad "summary: $(cat out.txt)"
for s in missing empty complex folder; do
  [ "$(ls out/$s)" = "result.tsv" ] || bad "$s: $(ls out/$s)"
done
"$TARVO" batch ref.nii.gz list.txt --out-dir out --quiet > /dev/null 2> err.txt
[ ! -s err.txt ] || bad "--quiet still speaks: $(cat err.txt)"

# A merge over subjects never run names them failed; status 1.
printf 'missing.nii.gz\nnever.nii\n' > list2.txt
"$TARVO" batch ref.nii.gz list2.txt --out-dir out --merge > /dev/null; rc=$?
[ $rc -eq 1 ] || bad "merge status $rc"
grep -q "^never	never.nii	failed			no result" out/results.tsv || bad "merge: $(cat out/results.tsv)"

[ $fail -eq 0 ] && echo "batch: all passed"
exit $fail
