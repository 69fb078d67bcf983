#!/usr/bin/env bash
# Whole affine registrations side by side, in one run: tarvo -r (one or more builds) and
# Debian elastix with the shared parameter file (2 threads), on subject_t1_0.88mm ->
# icbm2009_t1_1mm and on the template against copies of itself shifted by (6, -4, 5) mm and
# turned by (-25, 14, 9) degrees; and `tarvo register` (defaults) beside elastix on
# subject_t1_brain_0.88mm -> icbm2009_t1_1mm. CASES=REGEX runs only the cases it matches
# (subject, shifted-template, turned-template, brain-register). Prints wall and processor seconds (user + system, all
# threads) per tool and case, and the ratios to elastix; the processor time is the figure
# that holds when other work shares the machine.
# Needs the shared volumes and elastix (apt-get install elastix); skips what is missing.
# Usage: bench/vs_elastix.sh [build-dir ...]   (default: build)
# ROUNDS=n runs every case n times, the tools taking turns, and ends with the median wall
# and processor seconds of each tool and case: on a machine whose neighbours come and go,
# single runs of the same binary differ by a fifth or more.
set -euo pipefail
cd "$(dirname "$0")/.."
data=${TARVO_DATA:-../shared/data}
params=${ELASTIX_PARAMS:-$(dirname "$data")/peers/elastix_affine.txt}
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(build)
for i in "${!builds[@]}"; do builds[i]=$(cd "${builds[i]}" && pwd); done
if [ ! -f "$data/icbm2009_t1_1mm.nii.gz" ]; then
  echo "no shared volumes in $data: nothing to compare"
  exit 0
fi
data=$(cd "$data" && pwd)  # the runs below start in a scratch folder
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ref=$data/icbm2009_t1_1mm.nii.gz
printf '%s\n' -25 14 9 0 0 0 1 1 1 0 0 0 >"$tmp/turn.txt"
(cd "$tmp" && "${builds[0]}/tarvo" -tt "$ref" "$tmp/turn.txt" -o "$tmp/turned.nii.gz" >/dev/null)
# The same template moved without a turn: its samples fall inside the source as often as
# the turned copy's, so the two together show what the turn alone costs.
printf '%s\n' 0 0 0 6 -4 5 1 1 1 0 0 0 >"$tmp/shift.txt"
(cd "$tmp" && "${builds[0]}/tarvo" -tt "$ref" "$tmp/shift.txt" -o "$tmp/shifted.nii.gz" >/dev/null)

echo "date: $(date -u +%F)  machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
wall() {  # "wall processor" seconds of a command, its output to $tmp/log
  local t0 t1 u0 u1 me=$BASHPID
  t0=$(date +%s.%N)
  u0=$(awk '{ print $14 + $15 + $16 + $17 }' /proc/$me/stat)
  "$@" >"$tmp/log" 2>&1 || echo "  (failed: $*)" >&2
  t1=$(date +%s.%N)
  # Children's user and system ticks of this shell, which waited for the command.
  u1=$(awk '{ print $14 + $15 + $16 + $17 }' /proc/$me/stat)
  awk "BEGIN { printf \"%.2f %.2f\\n\", $t1 - $t0, ($u1 - $u0) / $(getconf CLK_TCK) }"
}
rounds=${ROUNDS:-1}
# The everyday command as well: `register` with its defaults on the brain-extracted
# subject (search, precision stage, verdict, the resampled image written like elastix's).
cases=("subject:$data/subject_t1_0.88mm.nii.gz" "shifted-template:$tmp/shifted.nii.gz" "turned-template:$tmp/turned.nii.gz")
[ -f "$data/subject_t1_brain_0.88mm.nii.gz" ] && cases+=("brain-register:$data/subject_t1_brain_0.88mm.nii.gz")
for c in "${cases[@]}"; do
 [ -n "${CASES:-}" ] && ! [[ ${c%%:*} =~ $CASES ]] && continue
 for ((round = 0; round < rounds; ++round)); do
  name=${c%%:*} src=${c#*:}
  el=- elp=-
  if command -v elastix >/dev/null && [ -f "$params" ]; then
    mkdir -p "$tmp/el"
    read -r el elp < <(wall elastix -f "$ref" -m "$src" -p "$params" -out "$tmp/el" -threads 2)
    printf '%-16s %-28s %8.2f s wall %8.2f s processor\n' "$name" "elastix (2 threads)" "$el" "$elp"
    echo "$name|elastix (2 threads)|$el|$elp" >>"$tmp/runs"
  fi
  for b in "${builds[@]}"; do
    bin=$b/tarvo
    if [ "$name" = brain-register ]; then
      tool="tarvo register ($b)"
      read -r t tp < <(cd "$tmp" && wall "$bin" register "$src" "$ref" -o "$tmp/out.nii" --quiet)
      line=$(grep '^cost' "$tmp/log" | head -1 || true)
    else
      tool="tarvo -r ($b)"
      read -r t tp < <(cd "$tmp" && wall "$bin" -r "$src" "$ref" -o "$tmp/out.nii.gz")
      line=$(grep '^12 DOF 1mm' "$tmp/log" | head -1 || true)
    fi
    ratio=- pratio=-
    [ "$el" != - ] && ratio=$(awk "BEGIN { printf \"%.2f\", $t / $el }") && pratio=$(awk "BEGIN { printf \"%.2f\", $tp / $elp }")
    printf '%-16s %-28s %8.2f s wall %8.2f s processor   %s x / %s x elastix   %s\n' \
      "$name" "$tool" "$t" "$tp" "$ratio" "$pratio" "$line"
    echo "$name|$tool|$t|$tp" >>"$tmp/runs"
  done
 done
done
if [ "$rounds" -gt 1 ]; then
  echo "medians of $rounds rounds:"
  median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
  cut -d'|' -f1,2 "$tmp/runs" | awk '!seen[$0]++' | while IFS='|' read -r name tool; do
    w=$(awk -F'|' -v n="$name" -v t="$tool" '$1 == n && $2 == t { print $3 }' "$tmp/runs" | median)
    p=$(awk -F'|' -v n="$name" -v t="$tool" '$1 == n && $2 == t { print $4 }' "$tmp/runs" | median)
    printf '%-16s %-28s %8.2f s wall %8.2f s processor\n' "$name" "$tool" "$w" "$p"
  done
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
