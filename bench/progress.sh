#!/usr/bin/env bash
# How true register's "time left" is: runs register on a pseudo-terminal (so that it draws
# its progress line), takes every redraw's elapsed seconds, share of the work and time
# left, and compares the time left with the true remaining time (to the line at 100 %).
# Prints the figures at 10, 25, 50 and 75 % of the work and the largest error after the
# first tenth. Default pair: the shared T1 brain (0.88 mm) to the 1 mm template.
# Usage: bench/progress.sh [build-dir [MOVING FIXED [register options]]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
shift || true
data=$(pwd)/../shared/data
moving=${1:-$data/subject_t1_brain_0.88mm.nii.gz}
fixed=${2:-$data/icbm2009_t1_1mm.nii.gz}
shift 2 || true
command -v script > /dev/null || { echo "progress bench: needs script(1) (bsdutils)"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
echo "date: $(date -u +%F)  machine: $(nproc) cores  load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "pair: $(basename "$moving") -> $(basename "$fixed")  options: ${*:-(defaults)}"
script -qfc "$(printf '%q ' "$build/tarvo" register "$moving" "$fixed" --matrix "$tmp/m.txt" "$@")" /dev/null \
  > "$tmp/out.txt" 2>&1
tr '\r' '\n' < "$tmp/out.txt" | /usr/bin/python3 -c '
import re, sys
lines = [re.match(r".*registering: +(\d+)%  level \S* +([\d.]+) s  (~(?:([\d.]+) s|(\d+):(\d+):(\d+)) left|done)?", l)
         for l in sys.stdin]
rows = []
for m in lines:
    if not m:
        continue
    pct, t = int(m.group(1)), float(m.group(2))
    if m.group(3) == "done":
        rows.append((pct, t, 0.0))
    elif m.group(4):
        rows.append((pct, t, float(m.group(4))))
    elif m.group(5):
        rows.append((pct, t, 3600 * float(m.group(5)) + 60 * float(m.group(6)) + float(m.group(7))))
end = max(t for p, t, _ in rows if p == 100)
first = min(t for p, t, _ in rows)
print(f"registration: {end - first:.1f} s from the first level to the end ({end:.1f} s after the start)")
print("%5s %9s %12s %11s %7s" % ("work", "elapsed_s", "left_shown_s", "left_true_s", "error"))
worst, where = 0.0, None
shown = set()
for p, t, left in rows:
    true = end - t
    if p < 10 or p == 100 or true <= 0:
        continue
    err = (left - true) / true
    if abs(err) > worst:
        worst, where = abs(err), (p, t, left, true)
    for mark in (10, 25, 50, 75):
        if p >= mark and mark not in shown:
            shown.add(mark)
            print(f"{p:>4}% {t:>9.1f} {left:>12.1f} {true:>11.1f} {100 * err:>6.0f}%")
print(f"largest error after the first tenth: {100 * worst:.0f}%")
if where:
    print("  at %d%%: %.1f s elapsed, %.1f s shown, %.1f s true" % where)
within = [p for p, t, left, true in [(p, t, l, end - t) for p, t, l in rows] if 10 <= p < 100 and true > 0
          and abs(left - true) <= 0.3 * true]
print("redraws within 30%%: %d of %d" % (len(within), len([p for p, t, _ in rows if 10 <= p < 100 and end > t])))
'
