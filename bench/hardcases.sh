#!/usr/bin/env bash
# Hard cases with known truth (bench/hardcases.py): makes them when absent, registers each
# with `TARVO register MOVING FIXED --matrix R/<id>.txt --quiet` on the CPU, one at a time,
# records status and wall seconds in R/times.tsv, and prints the score table.
# Cases already run (a matrix and a times.tsv row) are kept, so an interrupted run goes on
# where it stopped; remove OUTDIR/results to run all again.
# Usage: bench/hardcases.sh [TARVO] [OUTDIR]
#   TARVO   the tarvo binary (default build/tarvo)
#   OUTDIR  where the cases go (default bench/out/hardcases, ignored by git)
# Environment: TARVO_DATA (the shared volumes, default ../shared/data), QUICK=1 (a handful
# of cases), CASES=REGEX (only ids matching it), TIMEOUT=S (per registration, default 600),
# ARGS="..." (more register options, e.g. "--search standard"; the word FGMASK stands for
# the fixed image's automatic foreground, bench/foreground.py), RESULTS=NAME (the results
# folder under OUTDIR, default results: one per variant compared).
set -euo pipefail
cd "$(dirname "$0")/.."
tarvo=$(realpath "${1:-build/tarvo}")
out=${2:-bench/out/hardcases}
py=/usr/bin/python3
data=${TARVO_DATA:-$(pwd)/../shared/data}
export TARVO_DATA=$data

if [ ! -f "$data/subject_t1_0.88mm.nii.gz" ]; then
  echo "hardcases: no shared data in $data (set TARVO_DATA): skipped"
  exit 0
fi
[ -x "$tarvo" ] || { echo "hardcases: no tarvo binary at $tarvo" >&2; exit 1; }

quick=()
[ "${QUICK:-0}" = 1 ] && quick=(--quick)
"$py" bench/hardcases.py make "$out" "${quick[@]}"

res=$out/${RESULTS:-results}
mkdir -p "$res"
[ -f "$res/times.tsv" ] || printf 'id\tstatus\tseconds\n' >"$res/times.tsv"
echo "date: $(date -u '+%F %H:%M') UTC  tarvo: $tarvo ($("$tarvo" --version 2>&1 | head -1))"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), load $(cut -d' ' -f1-3 /proc/loadavg)"

tail -n +2 "$out/cases.tsv" | while IFS=$'\t' read -r id family moving fixed truth notes mask; do
  [ -n "${CASES:-}" ] && ! [[ $id =~ $CASES ]] && continue
  if [ -f "$res/$id.txt" ] && grep -q "^$id	" "$res/times.tsv"; then
    continue
  fi
  case $moving in /*) ;; *) moving=$out/$moving ;; esac
  args=(${ARGS:-})
  for k in "${!args[@]}"; do
    if [ "${args[$k]}" = FGMASK ]; then
      fg=$out/masks/$(basename "$fixed" .nii.gz).fg.nii.gz
      [ -f "$fg" ] || { mkdir -p "$out/masks"; "$py" bench/foreground.py "$fixed" "$fg" >/dev/null; }
      args[$k]=$fg
    fi
  done
  rm -f "$res/$id.txt"
  start=$(date +%s.%N)
  status=ok
  TARVO_DEVICE=cpu timeout "${TIMEOUT:-600}" "$tarvo" register "$moving" "$fixed" \
    --matrix "$res/$id.txt" --quiet "${args[@]}" >"$res/$id.log" 2>&1 </dev/null || status="rc$?"
  secs=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
  printf '%s\t%s\t%.1f\n' "$id" "$status" "$secs" >>"$res/times.tsv"
  printf '%-20s %-6s %-6s %6.1f s\n' "$id" "$family" "$status" "$secs"
done

echo
"$py" bench/hardcases.py score "$out" "$res"
