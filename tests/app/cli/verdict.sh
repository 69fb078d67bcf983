#!/usr/bin/env bash
# The verdict in register's and batch's outputs: its lines and columns, a suspect result
# still written (warned about, status 0 or --suspect-status's), and batch's records of
# another version or from before the verdict redone rather than trusted.
set -u
TARVO=$1 PHANTOM=$2
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
small="--grid 40 48 40 --voxel 3 3 3 --head-length 100"
"$PHANTOM" --out t1.nii.gz --contrast t1 $small --datatype 4 --seed 1
"$PHANTOM" --out t2.nii.gz --contrast t2 $small --seed 2 --affine 4 -3 5 5 -4 3 1 1 1 0 0 0
# The same head turned 150 degrees about the vertical axis: the headers say nothing of it.
"$PHANTOM" --out turned.nii.gz --contrast t2 $small --seed 4 --affine 0 0 150 0 0 0 1 1 1 0 0 0
# A 24 mm axial slab through the middle of a head: a whole head cannot lie inside it.
"$PHANTOM" --out slab.nii.gz --contrast t1 --grid 40 48 8 --voxel 3 3 3 --head-length 100 --datatype 4 --seed 3
quick="--dof 6 --no-refine"

# 1. An ok result: the ten lines, in order and format, and nothing on standard error.
"$TARVO" register t2.nii.gz t1.nii.gz -o ok.nii.gz $quick > out.txt 2> err.txt; st=$?
[ $st -eq 0 ] && [ ! -s err.txt ] || bad "ok: status $st, $(cat err.txt)"
[ "$(wc -l < out.txt)" -eq 10 ] && sed -n 7p out.txt | grep -qE '^time: [0-9]+\.[0-9]{3} s$' \
  && sed -n 8p out.txt | grep -qE '^overlap: [01]\.[0-9]{3} [01]\.[0-9][0-9][0-9]$' \
  && sed -n 9p out.txt | grep -qE '^turn: [0-9]+\.[0-9]$' \
  && [ "$(sed -n 10p out.txt)" = "verdict: ok" ] || bad "ok: lines: $(cat out.txt)"
# The phantom was turned by about 7 degrees, and every voxel of either head lies in the other.
awk '/^turn:/ { t = $2 } /^overlap:/ { f = $2; m = $3 } END { exit !(t > 3 && t < 12 && f > 0.95 && m > 0.95) }' \
  out.txt || bad "ok: figures: $(cat out.txt)"

# 2. Suspect by the turn: found with the default search (the copy really is turned), and
#    named as what it is. Written all the same, status 0, one warning line.
"$TARVO" register turned.nii.gz t1.nii.gz -o tu.nii.gz $quick > out.txt 2> err.txt; st=$?
[ $st -eq 0 ] && [ -s tu.nii.gz ] && [ -s tu_affine.txt ] || bad "turned: status $st, files: $(ls)"
grep -qE '^verdict: suspect: turned 1[45][0-9] degrees from the start$' out.txt || bad "turned: $(cat out.txt)"
awk '/^turn:/ { exit !($2 > 140 && $2 < 160) }' out.txt || bad "turned: turn line: $(cat out.txt)"
[ "$(wc -l < err.txt)" -eq 1 ] \
  && grep -qE '^tarvo register: warning: the result may be wrong: turned 1[45][0-9] degrees from the start; look at it \(--qc\) before using it$' err.txt \
  || bad "turned: warning: $(cat err.txt)"

# 3. Suspect by the overlap, with --suspect-status: status 3, every file written, and
#    --quiet silences the warning but not the verdict.
rm -f s.nii.gz s_affine.txt
"$TARVO" register t2.nii.gz slab.nii.gz -o s.nii.gz --itk s_itk.txt --qc s.png $quick --suspect-status 3 \
  > out.txt 2> err.txt; st=$?
[ $st -eq 3 ] || bad "slab: status $st, $(cat err.txt)"
for f in s.nii.gz s_affine.txt s_itk.txt s.png; do [ -s $f ] || bad "slab: $f not written"; done
grep -qE "^verdict: suspect: only [0-9]+% of MOVING's foreground lies inside FIXED$" out.txt || bad "slab: $(cat out.txt)"
grep -q "warning: the result may be wrong: only" err.txt || bad "slab: warning: $(cat err.txt)"
"$TARVO" register t2.nii.gz slab.nii.gz --matrix q.txt $quick --quiet > out.txt 2> err.txt; st=$?
[ $st -eq 0 ] && [ ! -s err.txt ] && grep -q '^verdict: suspect: ' out.txt || bad "slab --quiet: status $st, $(cat err.txt)"
# An ok result ends with 0 whatever --suspect-status says; 1 is an error's and refused.
"$TARVO" register t2.nii.gz t1.nii.gz --matrix m.txt $quick --suspect-status 3 > /dev/null 2>&1 || bad "ok with --suspect-status: $?"
for n in 1 0 256; do
  "$TARVO" register t2.nii.gz t1.nii.gz --matrix n.txt --suspect-status $n > out.txt 2> err.txt; st=$?
  [ $st -eq 1 ] && [ ! -s out.txt ] && [ ! -e n.txt ] && grep -q '^tarvo register: error: --suspect-status' err.txt \
    || bad "--suspect-status $n: status $st, $(cat err.txt)"
done
"$TARVO" register --help | grep -q '^  verdict: ok' || bad "register help: no verdict line"

# 4. batch: the verdict's columns, suspect results counted apart, --suspect-status; a rerun
#    skips both, still counting the suspect one (and still ending with its status).
printf 't2.nii.gz\nturned.nii.gz\n' > list.txt
"$TARVO" batch t1.nii.gz list.txt --out-dir out $quick --jobs 2 > out.txt 2> err.txt; st=$?
[ $st -eq 0 ] || bad "batch: status $st, $(cat err.txt)"
[ "$(head -n 1 out/results.tsv)" = "$(printf 'id\tpath\tstatus\tcost\tseconds\tmessage\tfixed_overlap\tmoving_overlap\tturn\tverdict\treason')" ] \
  || bad "batch header: $(head -n 1 out/results.tsv)"
awk -F '\t' 'NR == 2 { exit !(NF == 11 && $1 == "t2" && $3 == "ok" && $7 ~ /^[01]\.[0-9][0-9][0-9]$/ &&
                             $8 ~ /^[01]\.[0-9][0-9][0-9]$/ && $9 ~ /^[0-9]+\.[0-9]$/ && $10 == "ok" && $11 == "") }' \
  out/results.tsv || bad "batch ok row: $(sed -n 2p out/results.tsv)"
awk -F '\t' 'NR == 3 { exit !(NF == 11 && $3 == "ok" && $10 == "suspect" && $11 ~ /^turned 1[45][0-9] degrees from the start$/) }' \
  out/results.tsv || bad "batch suspect row: $(sed -n 3p out/results.tsv)"
[ "$(head -n 4 out.txt | tr '\n' ' ')" = "ok: 1 suspect: 1 skipped: 0 failed: 0 " ] || bad "batch summary: $(cat out.txt)"
grep -q 'turned suspect\|turned ok: .*; suspect: turned' err.txt || bad "batch progress does not name the suspect one: $(cat err.txt)"
# The register line of the same subject gives the same verdict, to the digit.
"$TARVO" register turned.nii.gz t1.nii.gz --matrix tb.txt $quick 2>/dev/null > reg.txt
[ "$(grep -P '^turned\t' out/results.tsv | cut -f 7-9 | tr '\t' ' ')" = "$(sed -n 's/^overlap: //p' reg.txt) $(sed -n 's/^turn: //p' reg.txt)" ] \
  || bad "batch and register differ: $(grep turned out/results.tsv) / $(cat reg.txt)"
"$TARVO" batch t1.nii.gz list.txt --out-dir out $quick --suspect-status 4 > out.txt 2>/dev/null; st=$?
[ $st -eq 4 ] && [ "$(head -n 4 out.txt | tr '\n' ' ')" = "ok: 0 suspect: 1 skipped: 1 failed: 0 " ] \
  || bad "batch rerun: status $st, $(cat out.txt)"
cut -f 1,3,10 out/results.tsv | tr '\t\n' ': ' | grep -q '^id:status:verdict t2:skipped:ok turned:skipped:suspect $' \
  || bad "batch rerun table: $(cat out/results.tsv)"
# --merge carries the columns as the subjects' records hold them.
cp out/results.tsv run.tsv
"$TARVO" batch t1.nii.gz list.txt --out-dir out $quick --merge --suspect-status 4 > out.txt; st=$?
[ $st -eq 4 ] && [ "$(cut -f 1,7-11 out/results.tsv)" = "$(cut -f 1,7-11 run.tsv)" ] \
  || bad "merge: status $st, $(cat out/results.tsv)"

# 5. Records of another version, of the other cost, and from before the verdict (six
#    columns, no version): read without complaint, and their subjects registered again.
sed -i '1s/version=[^ ]*/version=0.0.1/' out/t2/result.tsv
"$TARVO" batch t1.nii.gz list.txt --out-dir out $quick --merge > /dev/null
grep -qP "^t2\t.*\tfailed\t.*was made by another version of tarvo" out/results.tsv || bad "merge of an old version: $(cat out/results.tsv)"
{ echo "# tarvo batch settings: fixed=t1.nii.gz fixed-mask= dof=6 init=header search=header no-refine"
  printf 'id\tpath\tstatus\tcost\tseconds\tmessage\n'
  printf 'turned\tturned.nii.gz\tok\t-0.642886\t2.000\t\n'; } > out/turned/result.tsv
"$TARVO" batch t1.nii.gz list.txt --out-dir out $quick > out.txt 2> err.txt; st=$?
[ $st -eq 0 ] && ! grep -q 'error' err.txt || bad "old records: status $st, $(cat err.txt)"
cut -f 1,3,10 out/results.tsv | tr '\t\n' ': ' | grep -q '^id:status:verdict t2:ok:ok turned:ok:suspect $' \
  || bad "old records not redone: $(cat out/results.tsv)"
grep -q '^# tarvo batch settings: version=[0-9.]* cost=two-way-foreground ' out/turned/result.tsv || bad "record: $(cat out/turned/result.tsv)"
# The other cost is another kind of result: done again, not skipped.
"$TARVO" batch t1.nii.gz list.txt --out-dir out $quick --no-foreground > out.txt 2>/dev/null
grep -q '^skipped: 0$' out.txt && grep -q '^# tarvo batch settings: version=[0-9.]* cost=two-way-whole-field ' out/t2/result.tsv \
  || bad "--no-foreground reused the foreground's results: $(cat out.txt)"

[ $fail -eq 0 ] && echo "verdict: all passed"
exit $fail
