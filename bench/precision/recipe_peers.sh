#!/usr/bin/env bash
# Whole registrations on the recipe cases (recipe_cases.py) beside ANTs and elastix: each
# case registered back to the template by `tarvo register` (its defaults, the whole
# command), by ANTs (antspyx, 'Affine', ants_affine.py) and by elastix (Debian elastix with
# ../shared/peers/elastix_affine.txt, elastix_affine.py), each answer scored against the
# true matrix over the template's eroded brain (brain_distance.py). Prints per case the
# mean / max mm of each tool and the wall seconds of each whole command (loading included),
# then how many cases each tool brings within 0.015 and 0.03 mm (mean).
#
# Usage: bench/precision/recipe_peers.sh [build-dir]
# Environment: TARVO_DATA (default ../shared/data); CASES and SEED as in recipe.sh (the same
# defaults, and the same folder out/precision-recipe/cases, so the cases are shared);
# ANTS_VENV (default out/venv-ants, made with pip if missing); ELASTIX_PARAMS (default
# ../shared/peers/elastix_affine.txt); NO_ANTS=1 / NO_ELASTIX=1 skip a peer. The peers'
# answers and seconds are kept in out/precision-recipe/peers and reused (PEERS_AGAIN=1 runs
# them again); tarvo runs every time. ITK_GLOBAL_DEFAULT_NUMBER_OF_THREADS is the number of
# cores. Needs python3-nibabel and python3-scipy (Debian).
set -euo pipefail
cd "$(dirname "$0")/../.."
source bench/precision/common.sh
build=$(cd "${1:-build}" && pwd)
data=$(cd "${TARVO_DATA:-../shared/data}" 2>/dev/null && pwd || echo "${TARVO_DATA:-../shared/data}")
fixed=$data/icbm2009_t1_1mm.nii.gz
elparams=${ELASTIX_PARAMS:-$(dirname "$data")/peers/elastix_affine.txt}
kinds=${CASES:-contrast,contrast,contrast,contrast,contrast,contrast-turned,contrast-turned,sagittal,oblique,sagittal,oblique}
work=$(pwd)/out/precision-recipe
res=$work/peers
py=/usr/bin/python3
[ -f "$fixed" ] || { echo "no $fixed: nothing to measure"; exit 0; }
mkdir -p "$work/cases" "$res"
recipe_cases "$py" "$fixed" "$work" "$kinds"

venv=${ANTS_VENV:-$(pwd)/out/venv-ants}
ants_venv "$py" "$venv" column
elastix=0
if [ "${NO_ELASTIX:-0}" != 1 ]; then
  if ! command -v elastix >/dev/null; then
    echo "no elastix on the path (Debian: apt-get install elastix): no elastix column"
  elif [ ! -f "$elparams" ]; then
    echo "no $elparams: no elastix column"
  else
    elastix=1
  fi
fi
export ITK_GLOBAL_DEFAULT_NUMBER_OF_THREADS=$(nproc)

# timed OUT.secs CMD...: runs CMD, writes its wall seconds to OUT.secs; fails as CMD does.
timed() {
  local secs=$1 t0 rc=0
  shift
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>"$secs.err" || rc=$?
  awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f\n", b - a }' >"$secs"
  [ -s "$secs.err" ] || rm -f "$secs.err"
  return $rc
}

# peer NAME MOVING OUT.txt: the peer's answer and its seconds (OUT.txt.secs), kept from an
# earlier run unless PEERS_AGAIN=1. A peer that fails leaves no answer and says so.
peer() {
  local name=$1 moving=$2 out=$3
  if [ -f "$out" ] && [ -f "$out.secs" ] && [ "${PEERS_AGAIN:-0}" != 1 ]; then return; fi
  rm -f "$out"
  case $name in
    ants) timed "$out.secs" "$venv/bin/python" bench/precision/ants_affine.py "$moving" "$fixed" "$out" ;;
    elastix) timed "$out.secs" "$py" bench/precision/elastix_affine.py "$moving" "$fixed" "$elparams" "$out" ;;
  esac || { echo "$name failed on $(basename "$moving") (see $out.secs.err)" >&2; rm -f "$out"; }
}

echo "date: $(date -u +%F)  machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "tarvo: $("$build/tarvo" --version 2>/dev/null | head -1)  load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-24s %-17s %-17s %-17s %8s %8s %8s\n' case tarvo_mm ants_mm elastix_mm tarvo_s ants_s elastix_s
summary=$(mktemp)
n=0
for kind in ${kinds//,/ }; do
  name=case${n}_$kind
  n=$((n + 1))
  moving=$work/cases/$name.nii.gz
  out=$res/$name
  rm -f "${out}_tarvo.txt"
  timed "${out}_tarvo.txt.secs" "$build/tarvo" register "$moving" "$fixed" --matrix "${out}_tarvo.txt" --quiet ||
    echo "tarvo failed on $name (see ${out}_tarvo.txt.secs.err)" >&2
  [ $ants = 1 ] && peer ants "$moving" "${out}_ants.txt"
  [ $elastix = 1 ] && peer elastix "$moving" "${out}_elastix.txt"
  row=()
  secs=()
  for tool in tarvo ants elastix; do
    f=${out}_$tool.txt
    if [ -f "$f" ]; then
      d=$("$py" bench/precision/brain_distance.py "$fixed" "$work/cases/${name}_truth.txt" "$f")
      row+=("$(awk '{ printf "%.4f / %.3f", $3, $5 }' <<<"$d")")
      awk -v t=$tool '{ print t, $3 }' <<<"$d" >>"$summary"
      secs+=("$(cat "$f.secs")")
    else
      row+=("-")
      secs+=("-")
    fi
  done
  printf '%-24s %-17s %-17s %-17s %8s %8s %8s\n' "$name" "${row[@]}" "${secs[@]}"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cases with a mean error within 0.015 / 0.03 mm (of those answered):"
awk '{ n[$1]++; if ($2 <= 0.015) a[$1]++; if ($2 <= 0.03) b[$1]++ }
  END { for (t in n) printf "  %-8s %d / %d of %d\n", t, a[t], b[t], n[t] }' "$summary" | sort
rm -f "$summary"
