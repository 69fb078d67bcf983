#!/usr/bin/env bash
# The precision stage on the recipe cases (recipe_cases.py): register's search once per
# case, then the stage alone in each variant (precisionbench), scored over the template's
# eroded brain (brain_distance.py). Prints per case the mean / max mm of the search and of
# each variant, then each variant's evaluations and processor seconds.
#
# Usage: bench/precision/recipe.sh [build-dir] [VARIANT ...]   (default variant: stage)
# Environment: TARVO_DATA (default ../shared/data); CASES (comma list of kinds, default
# five cross-contrast cases, two turned past 60 degrees, two sagittal, two oblique); SEED
# (default 24); FIXED_MASK=1 runs search and stage with the automatic FIXED foreground
# (bench/foreground.py) as the fixed mask. Cases and answers go to out/precision-recipe/;
# a case's search is kept there and reused (delete its .params to search again).
set -euo pipefail
cd "$(dirname "$0")/../.."
source bench/precision/common.sh
build=$(cd "${1:-build}" && pwd)
shift || true
variants=${*:-stage}
data=$(cd "${TARVO_DATA:-../shared/data}" 2>/dev/null && pwd || echo "${TARVO_DATA:-../shared/data}")
fixed=$data/icbm2009_t1_1mm.nii.gz
kinds=${CASES:-contrast,contrast,contrast,contrast,contrast,contrast-turned,contrast-turned,sagittal,oblique,sagittal,oblique}
work=$(pwd)/out/precision-recipe
py=/usr/bin/python3
[ -f "$fixed" ] || { echo "no $fixed: nothing to measure"; exit 0; }
mkdir -p "$work/cases" "$work/res"
recipe_cases "$py" "$fixed" "$work" "$kinds"
tag=full
if [ "${FIXED_MASK:-0}" = 1 ]; then
  "$py" bench/foreground.py "$fixed" "$work/fixed_foreground.nii.gz" >/dev/null
  export FIXED_MASK=$work/fixed_foreground.nii.gz
  tag=masked
else
  unset FIXED_MASK
fi

echo "date: $(date -u +%F)  machine: $(nproc) cores  load average: $(cut -d' ' -f1-3 /proc/loadavg)  fixed mask: ${FIXED_MASK:-none}"
n=0
for kind in ${kinds//,/ }; do
  name=case${n}_$kind
  n=$((n + 1))
  prefix=$work/res/${name}_$tag
  "$build/precisionbench" "$work/cases/$name.nii.gz" "$fixed" "$prefix" $variants >"$prefix.log"
  answers=("${prefix}_search.txt")
  for v in $variants; do answers+=("${prefix}_${v%%:*}.txt"); done
  "$py" bench/precision/brain_distance.py "$fixed" "$work/cases/${name}_truth.txt" "${answers[@]}" |
    awk -v c="$name" '{ sub(".*_'$tag'_", "", $1); sub(".txt", "", $1); printf "%-24s %-10s %s / %s\n", c, $1, $3, $5 }'
  awk '/evaluations/ { printf "%-24s %-10s %s evaluations, %s s processor\n", "", $1, $2, $4 }' "$prefix.log"
done
