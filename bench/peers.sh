#!/usr/bin/env bash
# tarvo beside its peers on the shared real pairs (MOVING -> icbm2009_t1_1mm): tarvo register
# (the defaults, and --search standard), Debian elastix (affine, Mattes mutual information,
# ../shared/peers/elastix_affine.txt), ANTs (antspyx, type_of_transform="Affine", its
# defaults) and greedy (picsl-greedy, affine, NMI, 12 degrees of freedom, centres of mass
# paired first). Every answer is written as a world matrix (FIXED RAS mm -> MOVING RAS mm);
# for each pair the script prints each tool's seconds and a table of pairwise distances: row
# A, column B is the mean distance in mm between where A and B send the template's brain
# voxels (above 30 % of the 99th percentile of its non-zero voxels) that A sends inside
# MOVING's field of view.
#
# First comes a check of the conventions: the template against a copy of itself whose header
# moves it by a known rigid matrix ("truth" in that table); every tool should land within a
# fraction of a millimetre of it. Last, the whole-head answers against the brain-extracted
# pair's (same grid and anatomy), which tells who is right where the whole head splits them.
#
# Usage: bench/peers.sh [build-dir]        (default: build)
# Environment: TARVO_DATA (default ../shared/data); PEERS_VENV (default /tmp/peers-venv),
# made with /usr/bin/python3 -m venv and pip (antspyx, picsl-greedy) when missing;
# ELASTIX_PARAMS (default ../shared/peers/elastix_affine.txt); PEERS_OUT (default
# out/peers) keeps the matrices; PAIRS (space-separated MOVING names) and TOOLS
# (space-separated, of: tarvo tarvo-standard elastix ants greedy) choose a subset;
# PEERS_THREADS (default 2) threads for every tool; PEERS_KEEP=1 reuses the matrices (and
# the seconds) of an earlier run in PEERS_OUT. A tool that cannot be had is skipped with a
# message.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
data=${TARVO_DATA:-../shared/data}
fixed=$data/icbm2009_t1_1mm.nii.gz
if [ ! -f "$fixed" ]; then
  echo "no shared volumes in $data: nothing to compare"
  exit 0
fi
data=$(cd "$data" && pwd)
fixed=$data/icbm2009_t1_1mm.nii.gz
elparams=${ELASTIX_PARAMS:-$(dirname "$data")/peers/elastix_affine.txt}
out=${PEERS_OUT:-out/peers}
mkdir -p "$out"
out=$(cd "$out" && pwd)
threads=${PEERS_THREADS:-2}
export PEERS_THREADS=$threads ITK_GLOBAL_DEFAULT_NUMBER_OF_THREADS=$threads
export OMP_NUM_THREADS=$threads TARVO_THREADS=$threads
py=/usr/bin/python3
helper=$(pwd)/bench/peers.py
pairs=${PAIRS:-epi_mean_3mm subject_flair_1mm subject_t1_0.88mm subject_t1_brain_0.88mm}
tools=${TOOLS:-tarvo tarvo-standard elastix ants greedy}

venv=${PEERS_VENV:-/tmp/peers-venv}
have() {  # have TOOL: can this tool run here? (says why not, once)
  case $1 in
    tarvo | tarvo-standard) [ -x "$build/tarvo" ] || { echo "no $build/tarvo: $1 skipped"; return 1; } ;;
    elastix)
      command -v elastix >/dev/null || { echo "elastix not installed (apt-get install elastix): skipped"; return 1; }
      [ -f "$elparams" ] || { echo "no $elparams: elastix skipped"; return 1; } ;;
    ants | greedy)
      local mod=ants pkg=antspyx
      [ "$1" = greedy ] && mod=picsl_greedy pkg=picsl-greedy
      [ -x "$venv/bin/python" ] || "$py" -m venv "$venv" >/dev/null 2>&1 || true
      "$venv/bin/python" -c "import $mod" 2>/dev/null ||
        "$venv/bin/pip" install -q "$pkg" >/dev/null 2>&1 || true
      "$venv/bin/python" -c "import $mod" 2>/dev/null || { echo "$pkg cannot be installed in $venv: $1 skipped"; return 1; } ;;
  esac
}
usable=()
for t in $tools; do have "$t" && usable+=("$t"); done

# register TOOL MOVING MATRIX: prints "wall cpu" of the registration, or "failed".
register() {
  local t=$1 moving=$2 m=$3 log=$3.log
  case $t in
    tarvo) set -- "$py" "$helper" tarvo "$moving" "$fixed" "$m" "$build/tarvo" --threads "$threads" ;;
    tarvo-standard) set -- "$py" "$helper" tarvo "$moving" "$fixed" "$m" "$build/tarvo" --threads "$threads" --search standard ;;
    elastix) set -- "$py" "$helper" elastix "$moving" "$fixed" "$elparams" "$m" ;;
    ants | greedy) set -- "$venv/bin/python" "$helper" "$t" "$moving" "$fixed" "$m" ;;
  esac
  if [ "${PEERS_KEEP:-0}" = 1 ] && [ -f "$m" ] && [ -f "$log" ]; then tail -1 "$log"; return; fi
  rm -f "$m"
  if "$@" >"$log" 2>&1 && [ -f "$m" ]; then tail -1 "$log"; else echo failed; fi
}

echo "date: $(date -u +%F)  machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)  threads per tool: $threads"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$py" "$helper" moved "$fixed" "$out/template_moved.nii.gz" "$out/template_moved_truth.txt"
for pair in template_moved $pairs; do
  moving=$data/$pair.nii.gz
  [ "$pair" = template_moved ] && moving=$out/template_moved.nii.gz
  [ -f "$moving" ] || { echo "no $moving: skipped"; continue; }
  echo
  echo "== $pair -> icbm2009_t1_1mm"
  named=()
  [ "$pair" = template_moved ] && named+=("truth=$out/${pair}_truth.txt")
  for t in "${usable[@]}"; do
    m=$out/${pair}_$t.txt
    read -r wall cpu < <(register "$t" "$moving" "$m")
    if [ "$wall" = failed ]; then
      printf '  %-15s failed (see %s.log)\n' "$t" "$m"
      continue
    fi
    printf '  %-15s %8.2f s wall %8.2f s processor\n' "$t" "$wall" "$cpu"
    named+=("$t=$m")
  done
  [ ${#named[@]} -ge 2 ] && "$py" "$helper" table "$fixed" "$moving" "${named[@]}"
done

# The whole head and its brain-extracted copy share one grid and one anatomy, so the brain
# pair's answers are where the whole head's should land: they tell which of the whole
# head's disagreeing answers is right.
head=subject_t1_0.88mm brain=subject_t1_brain_0.88mm
rows=() cols=()
for t in "${usable[@]}"; do
  [ -f "$out/${head}_$t.txt" ] && rows+=("$t=$out/${head}_$t.txt")
  [ -f "$out/${brain}_$t.txt" ] && cols+=("brain:$t=$out/${brain}_$t.txt")
done
if [[ " $pairs " == *" $head "* && " $pairs " == *" $brain "* ]] && [ ${#rows[@]} -ge 1 ] && [ ${#cols[@]} -ge 1 ]; then
  echo
  echo "== $head answers (rows) against the $brain answers (columns)"
  "$py" "$helper" table "$fixed" "$data/$head.nii.gz" "${rows[@]}" -- "${cols[@]}"
fi
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
