#!/usr/bin/env bash
# A batch's report.html in a real browser: a small phantom batch with one subject turned
# by 150 degrees (suspect), its page opened in headless Chromium (check_report.py). Skips
# (77) where Chromium, its driver or Selenium is not installed.
set -u
TARVO=$1 PHANTOM=$2
here=$(cd "$(dirname "$0")" && pwd)
/usr/bin/python3 -c 'import selenium' 2> /dev/null || { echo "SKIP: python3-selenium is not installed"; exit 77; }
[ -x /usr/bin/chromedriver ] || { echo "SKIP: chromium-driver is not installed"; exit 77; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
small="--grid 40 48 40 --voxel 3 3 3 --head-length 100"
"$PHANTOM" --out t1.nii.gz --contrast t1 $small --datatype 4 --seed 1
"$PHANTOM" --out a.nii.gz --contrast t2 $small --seed 2 --affine 4 -3 5 5 -4 3 1 1 1 0 0 0
"$PHANTOM" --out b.nii.gz --contrast t2 $small --seed 3 --affine -3 2 -4 -2 3 2 1.03 1 0.98 0 0 0
"$PHANTOM" --out turned.nii.gz --contrast t2 $small --seed 4 --affine 0 0 150 0 0 0 1 1 1 0 0 0
printf 'a.nii.gz\nb.nii.gz\nturned.nii.gz\n' > list.txt
"$TARVO" batch t1.nii.gz list.txt --out-dir out --dof 6 --no-refine --jobs 3 --quiet > out.txt \
  || { echo "FAIL batch: $(cat out.txt)"; exit 1; }
/usr/bin/python3 "$here/check_report.py" out/report.html turned
