#!/usr/bin/env bash
# A batch's pictures and page: drawn by default with their captions, the page rebuilt
# byte for byte by tarvo report, a missing picture drawn again without a registration and
# equal to the first, --no-qc and the old --qc, and report's refusals.
set -u
TARVO=$1 PHANTOM=$2
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
small="--grid 40 48 40 --voxel 3 3 3 --head-length 100"
"$PHANTOM" --out t1.nii.gz --contrast t1 $small --datatype 4 --seed 1
"$PHANTOM" --out 'a&<b>.nii.gz' --contrast t2 $small --seed 2 --affine 4 -3 5 5 -4 3 1 1 1 0 0 0
printf 'a&<b>.nii.gz\nlost\tmissing.nii.gz\n' > list.txt
quick="--dof 6 --no-refine --quiet"

# 1. Pictures by default, the page beside the table, named on standard output.
"$TARVO" batch t1.nii.gz list.txt --out-dir out $quick > out.txt; rc=$?
[ $rc -eq 1 ] || bad "status $rc"
[ -s 'out/a&<b>/a&<b>_qc.png' ] || bad "no picture: $(ls out/*)"
grep -q '^report: out/report.html$' out.txt || bad "summary: $(cat out.txt)"
page=out/report.html
[ -s $page ] || bad "no page"
# Escaped everywhere, links relative and lazy, the failed subject first and saying why.
grep -q 'a&amp;&lt;b&gt;' $page && ! grep -q 'a&<b>' $page || bad "id not escaped"
grep -q 'href="a%26%3Cb%3E/a%26%3Cb%3E_qc.png"><img src="a%26%3Cb%3E/a%26%3Cb%3E_qc.png" loading="lazy"' $page \
  || bad "picture link: $(grep -o '<a href[^>]*>' $page)"
grep -q "$tmp" $page && bad "an absolute path in the page"
grep -q '<script src\|<link rel="stylesheet"\|https\?://' $page && bad "the page loads something"
awk '/<tbody>/ { on = 1; next } on && /<tr/ { print; exit }' $page | grep -q 'class="failed".*lost.*no picture: file .*missing.nii.gz.* does not exist' \
  || bad "failed row not first or silent"
cp $page first.html

# 2. tarvo report makes the same page again; a moved folder's page still works.
"$TARVO" report out/ > rep.txt 2> err.txt || bad "report: $(cat err.txt)"
[ "$(cat rep.txt)" = "report: out/report.html" ] || bad "report output: $(cat rep.txt)"
cmp -s first.html $page || bad "report's page differs from batch's"

# 3. A missing picture is drawn again, without a registration, byte for byte.
cp 'out/a&<b>/a&<b>_qc.png' first.png
cp 'out/a&<b>/a&<b>.nii.gz' first.nii.gz
touch -d '2001-01-01' 'out/a&<b>/a&<b>.nii.gz'
rm 'out/a&<b>/a&<b>_qc.png'
"$TARVO" batch t1.nii.gz list.txt --out-dir out $quick > out.txt
cmp -s first.png 'out/a&<b>/a&<b>_qc.png' || bad "redrawn picture differs"
[ "$(stat -c %Y 'out/a&<b>/a&<b>.nii.gz')" = "$(date -d 2001-01-01 +%s)" ] || bad "registered again"
grep -q "^a&<b>	.*	skipped	.*picture drawn now" out/results.tsv || bad "table: $(cat out/results.tsv)"

# 4. --no-qc: no picture, and the page says so; --qc is accepted and changes nothing.
"$TARVO" batch t1.nii.gz list.txt --out-dir plain $quick --no-qc > /dev/null
[ ! -e 'plain/a&<b>/a&<b>_qc.png' ] || bad "--no-qc drew a picture"
grep -q 'no picture (run with --no-qc' plain/report.html || bad "--no-qc page"
"$TARVO" batch t1.nii.gz list.txt --out-dir out $quick --qc > out.txt; rc=$?
[ $rc -eq 1 ] && grep -q '^skipped: 1$' out.txt || bad "--qc: status $rc, $(cat out.txt)"
"$TARVO" batch --help | grep -q -- '--no-qc' || bad "batch help"

# 5. report refuses what is not a batch's folder: status 1, one line, no page.
for d in nowhere plain/lost; do
  "$TARVO" report $d > o.txt 2> err.txt; rc=$?
  [ $rc -eq 1 ] && [ ! -s o.txt ] && grep -q '^tarvo report: error: cannot read' err.txt && [ ! -e $d/report.html ] \
    || bad "report $d: status $rc, $(cat err.txt)"
done
printf 'not a table\n' > plain/results.tsv
"$TARVO" report plain > /dev/null 2> err.txt && bad "report of a bad table"
grep -q "is not a batch's table" err.txt || bad "bad table: $(cat err.txt)"
"$TARVO" report --help | grep -q 'report.html' || bad "report help"

[ $fail -eq 0 ] && echo "report: all passed"
exit $fail
