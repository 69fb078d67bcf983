#!/usr/bin/env bash
# Accuracy of registration on known-transform cases, and agreement with ANTs on real pairs.
#
# Cases (bench/precision/make_cases.py, written under out/precision/, never committed): the
# ICBM template of ../shared/data moved by random affines (rotations up to 45 degrees),
# Rician noise, one case in a second contrast, one stored sagittally, one on an oblique
# 1.2 mm grid. Each is registered back to the template by tarvo with and without the
# precision stage and by ANTs (antspyx, 'Affine', its defaults); the distance to the true
# world matrix is the mean and maximum over the template's brain, in mm. Real pairs
# (subject T1 brain, FLAIR -> template): distances between tarvo's and ANTs' matrices.
#
# tarvo runs as `tarvo register` (with and without --no-refine) when the build has it, else
# as bench/precisionbench (the -r search in voxel space plus the stage), which cannot do
# the sagittal and oblique layouts: those rows then say so.
#
# Usage: bench/precision.sh [build-dir] [cases]    (cases: comma list, default all five)
# Environment: NO_ANTS=1 skips ANTs; ANTS_VENV (default out/venv-ants) is made with pip.
# Needs python3-nibabel and python3-scipy (Debian) for the cases and distances.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
kinds=${2:-same,contrast,same,sagittal,oblique}
data=$(pwd)/../shared/data
fixed=$data/icbm2009_t1_1mm.nii.gz
work=$(pwd)/out/precision
py=/usr/bin/python3
[ -f "$fixed" ] || { echo "no $fixed: nothing to measure"; exit 0; }
mkdir -p "$work/cases" "$work/res"

[ -f "$work/cases/.done-$kinds" ] ||
  { "$py" bench/precision/make_cases.py "$fixed" "$work/cases" --cases "$kinds" >/dev/null && touch "$work/cases/.done-$kinds"; }

venv=${ANTS_VENV:-$(pwd)/out/venv-ants}
ants=0
if [ "${NO_ANTS:-0}" != 1 ]; then
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -c "import ants" 2>/dev/null || "$venv/bin/pip" install -q antspyx >/dev/null 2>&1 || true
  "$venv/bin/python" -c "import ants" 2>/dev/null && ants=1 || echo "antspyx cannot be installed: no ANTs rows"
fi
export ITK_GLOBAL_DEFAULT_NUMBER_OF_THREADS=$(nproc)

register=0
"$build/tarvo" register --help 2>/dev/null | grep -q -- --no-refine && register=1

# tarvo MOVING OUT_PREFIX -> OUT_PREFIX_search.txt, OUT_PREFIX_refined.txt; prints seconds.
run_tarvo() {
  local moving=$1 out=$2
  if [ $register = 1 ]; then
    local t0 t1 t2
    t0=$(date +%s.%N)
    "$build/tarvo" register "$moving" "$fixed" --matrix "${out}_search.txt" --no-refine --quiet >/dev/null
    t1=$(date +%s.%N)
    "$build/tarvo" register "$moving" "$fixed" --matrix "${out}_refined.txt" --quiet >/dev/null
    t2=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" -v c="$t2" 'BEGIN { printf "%.2f %.2f\n", b - a, c - b - (b - a) }'
  else
    "$build/precisionbench" "$moving" "$fixed" "$out" >"${out}.log"
    sed -n 's/^search: \([0-9.]*\) s.*/\1/p' "${out}.log" | tr '\n' ' '
    sed -n 's/^refine total: \([0-9.]*\) s.*/\1/p' "${out}.log"
  fi
}

dist() { "$py" bench/precision/distance.py "$fixed" "$1" "$2"; }

echo "date: $(date -u +%F)  machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "tarvo as: $([ $register = 1 ] && echo 'tarvo register' || echo precisionbench)  device: ${TARVO_DEVICE:-auto}"
printf '%-18s %-24s %-24s %-24s %8s %8s %8s\n' case search_mm_mean/max refined_mm_mean/max ants_mm_mean/max search_s stage_s ants_s
for c in "$work"/cases/case*_truth.txt; do
  name=$(basename "$c" _truth.txt)
  moving=$work/cases/$name.nii.gz
  res=$work/res/$name
  if [ $register = 0 ] && [[ $name == *sagittal* || $name == *oblique* ]]; then
    s="needs-register"; r="-"; secs="- -"
  else
    secs=$(run_tarvo "$moving" "$res")
    s=$(dist "$c" "${res}_search.txt" | awk '{print $2"/"$4}')
    r=$(dist "$c" "${res}_refined.txt" | awk '{print $2"/"$4}')
  fi
  a="-"; as="-"
  if [ $ants = 1 ]; then
    as=$("$venv/bin/python" bench/precision/ants_affine.py "$moving" "$fixed" "${res}_ants.txt")
    a=$(dist "$c" "${res}_ants.txt" | awk '{print $2"/"$4}')
  fi
  printf '%-18s %-24s %-24s %-24s %8s %8s %8s\n' "$name" "$s" "$r" "$a" ${secs} "$as"
done

echo
echo "real pairs: distance (mm, mean/max over the template's brain) between tarvo's and ANTs' matrices"
printf '%-26s %-22s %-22s %8s %8s %8s\n' moving search_vs_ants refined_vs_ants search_s stage_s ants_s
for m in subject_t1_brain_0.88mm subject_flair_1mm; do
  res=$work/res/$m
  secs=$(run_tarvo "$data/$m.nii.gz" "$res")
  if [ $ants = 1 ]; then
    as=$("$venv/bin/python" bench/precision/ants_affine.py "$data/$m.nii.gz" "$fixed" "${res}_ants.txt")
    s=$(dist "${res}_ants.txt" "${res}_search.txt" | awk '{print $2"/"$4}')
    r=$(dist "${res}_ants.txt" "${res}_refined.txt" | awk '{print $2"/"$4}')
  else
    as="-"; s="-"; r="-"
  fi
  printf '%-26s %-22s %-22s %8s %8s %8s\n' "$m" "$s" "$r" ${secs} "$as"
done
