#!/usr/bin/env bash
# Accuracy of registration on known-transform cases, and agreement with ANTs and elastix on
# real pairs.
#
# Cases (bench/precision/make_cases.py, written under out/precision/, never committed): the
# ICBM template of ../shared/data moved by random affines (rotations up to 45 degrees),
# Rician noise, one case in a second contrast, one stored sagittally, one on an oblique
# 1.2 mm grid. Each is registered back to the template by `tarvo register` with and without
# the precision stage (--no-refine) and by ANTs (antspyx, 'Affine', its defaults); the
# distance to the true world matrix is the mean and maximum over the template's brain, in
# mm. Real pairs (subject T1 brain, FLAIR -> template): distances between the answers of
# tarvo, ANTs and elastix (Debian elastix with ../shared/peers/elastix_affine.txt).
# Seconds are processor seconds (user + system, all threads) of one `tarvo register`: the
# stage's own, and the rest (the search, loading, preparing).
#
# Usage: bench/precision.sh [build-dir] [cases]    (cases: comma list, default all five)
# Environment: TARVO_DATA (default ../shared/data); NO_ANTS=1 skips ANTs; ANTS_VENV (default
# out/venv-ants) is made with pip; ELASTIX_PARAMS (default ../shared/peers/elastix_affine.txt).
# ANTs' and elastix's answers are kept in out/precision/res and reused (PEERS_AGAIN=1 runs
# them again). Needs python3-nibabel and python3-scipy (Debian) for the cases and distances.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/precision/common.sh
build=$(cd "${1:-build}" && pwd)
kinds=${2:-same,contrast,same,sagittal,oblique}
data=$(cd "${TARVO_DATA:-../shared/data}" 2>/dev/null && pwd || echo "${TARVO_DATA:-../shared/data}")
fixed=$data/icbm2009_t1_1mm.nii.gz
elparams=${ELASTIX_PARAMS:-$(dirname "$data")/peers/elastix_affine.txt}
work=$(pwd)/out/precision
py=/usr/bin/python3
[ -f "$fixed" ] || { echo "no $fixed: nothing to measure"; exit 0; }
mkdir -p "$work/cases" "$work/res"

[ -f "$work/cases/.done-$kinds" ] ||
  { "$py" bench/precision/make_cases.py "$fixed" "$work/cases" --cases "$kinds" >/dev/null && touch "$work/cases/.done-$kinds"; }

venv=${ANTS_VENV:-$(pwd)/out/venv-ants}
ants_venv "$py" "$venv" rows
elastix=0
command -v elastix >/dev/null && [ -f "$elparams" ] && elastix=1
export ITK_GLOBAL_DEFAULT_NUMBER_OF_THREADS=$(nproc)

# tarvo MOVING OUT_PREFIX -> OUT_PREFIX_search.txt (--no-refine), OUT_PREFIX_refined.txt;
# prints the processor seconds (user + system, all threads) of the registration with the
# stage less the stage's own, and the stage's own (its passes report them with
# TARVO_VERBOSE=1): both from one process, which other load disturbs far less than a
# difference of two runs.
run_tarvo() {
  local moving=$1 out=$2 t
  t=$(mktemp)
  "$build/tarvo" register "$moving" "$fixed" --matrix "${out}_search.txt" --no-refine --quiet >/dev/null
  TARVO_VERBOSE=1 /usr/bin/time -f 'total %U %S' -o "$t" \
    "$build/tarvo" register "$moving" "$fixed" --matrix "${out}_refined.txt" --quiet >/dev/null 2>"$t.err"
  cat "$t" "$t.err" | awk '/^total/ { total = $2 + $3 }
    /precision stage/ { stage += $(NF - 1) }
    END { printf "%.2f %.2f\n", total - stage, stage }'
  rm -f "$t" "$t.err"
}

# peer NAME MOVING OUT_PREFIX: the peer's answer in OUT_PREFIX_NAME.txt (kept from an
# earlier run unless PEERS_AGAIN=1); prints its wall seconds or "kept".
peer() {
  local name=$1 moving=$2 out=$3_$1.txt
  if [ -f "$out" ] && [ "${PEERS_AGAIN:-0}" != 1 ]; then echo kept; return; fi
  case $name in
    ants) "$venv/bin/python" bench/precision/ants_affine.py "$moving" "$fixed" "$out" ;;
    elastix) "$py" bench/precision/elastix_affine.py "$moving" "$fixed" "$elparams" "$out" ;;
  esac
}

dist() { "$py" bench/precision/distance.py "$fixed" "$1" "$2" | awk '{print $2"/"$4}'; }

echo "date: $(date -u +%F)  machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "device: ${TARVO_DEVICE:-auto}  load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-18s %-18s %-18s %-18s %9s %8s %8s\n' case search_mm_mean/max refined_mm_mean/max ants_mm_mean/max search_s stage_s ants_s
for c in "$work"/cases/case*_truth.txt; do
  name=$(basename "$c" _truth.txt)
  moving=$work/cases/$name.nii.gz
  res=$work/res/$name
  secs=$(run_tarvo "$moving" "$res")
  s=$(dist "$c" "${res}_search.txt")
  r=$(dist "$c" "${res}_refined.txt")
  a="-"; as="-"
  if [ $ants = 1 ]; then
    as=$(peer ants "$moving" "$res")
    a=$(dist "$c" "${res}_ants.txt")
  fi
  printf '%-18s %-18s %-18s %-18s %9s %8s %8s\n' "$name" "$s" "$r" "$a" ${secs} "$as"
done

echo
echo "real pairs: distances (mm, mean/max over the template's brain) between the tools' answers"
printf '%-24s %-16s %-16s %-16s %-16s %-16s %8s %8s\n' moving search-ants refined-ants refined-elastix \
  ants-elastix search-elastix search_s stage_s
for m in subject_t1_brain_0.88mm subject_flair_1mm; do
  res=$work/res/$m
  secs=$(run_tarvo "$data/$m.nii.gz" "$res")
  sa="-"; ra="-"; re="-"; ae="-"; se="-"
  [ $ants = 1 ] && peer ants "$data/$m.nii.gz" "$res" >/dev/null
  [ $elastix = 1 ] && peer elastix "$data/$m.nii.gz" "$res" >/dev/null
  if [ -f "${res}_ants.txt" ]; then
    sa=$(dist "${res}_ants.txt" "${res}_search.txt")
    ra=$(dist "${res}_ants.txt" "${res}_refined.txt")
  fi
  if [ -f "${res}_elastix.txt" ]; then
    re=$(dist "${res}_elastix.txt" "${res}_refined.txt")
    se=$(dist "${res}_elastix.txt" "${res}_search.txt")
    [ -f "${res}_ants.txt" ] && ae=$(dist "${res}_ants.txt" "${res}_elastix.txt")
  fi
  printf '%-24s %-16s %-16s %-16s %-16s %-16s %8s %8s\n' "$m" "$sa" "$ra" "$re" "$ae" "$se" ${secs}
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
