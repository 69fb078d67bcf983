#!/usr/bin/env bash
# How many threads one registration keeps busy: one register of a phantom (48^3 at 2 mm by
# default) runs with every parallel loop on one thread, its hand-out counts and times
# traced (TARVO_POOL_TRACE); each loop is then laid out on T threads on paper (its hand-outs
# taken as equal, each thread taking the next: ceil(n / T) rounds). The result is an upper
# bound of the speed-up on T threads, without the cost of waking them or of shared caches:
# what is lost here is what registering several subjects at once (tarvo batch --jobs)
# can win back.
# Usage: bench/poolmodel.sh [build-dir] [grid]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
g=${2:-48}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
grid="--grid $g $g $g --voxel 2 2 2 --head-length 80 --noise 3"
"$build/phantom" --out ref.nii.gz --contrast t1 $grid --seed 1 --datatype 4 > /dev/null
"$build/phantom" --out s.nii.gz --contrast t2 $grid --seed 2 --affine -2 -1 1 -1 1 -1 1.02 0.98 1 0 0 0 > /dev/null
TARVO_POOL_TRACE=trace.txt "$build/tarvo" register s.nii.gz ref.nii.gz -o r.nii.gz --quiet > /dev/null
echo "one register, ${g}^3 phantom at 2 mm: $(wc -l < trace.txt) parallel loops (processor time)"
awk '{ n = $1; t = $2; all += t; for (T = 2; T <= 32; T *= 2) span[T] += t / n * int((n + T - 1) / T)
       k = n < 8 ? "1-7" : n < 32 ? "8-31" : n < 128 ? "32-127" : "128+"; calls[k]++; secs[k] += t }
  END { printf "loop time on one thread: %.2f s\n", all
        for (k in calls) printf "  loops of %s hand-outs: %d, %.2f s\n", k, calls[k], secs[k]
        for (T = 2; T <= 32; T *= 2)
          printf "T = %2d threads: at most %.2fx, %.0f %% of the threads busy\n", T, all / span[T], 100 * all / span[T] / T }' trace.txt
