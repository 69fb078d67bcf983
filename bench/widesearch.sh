#!/usr/bin/env bash
# The wide global search against the standard one on moved heads. Sections (any of them):
#   uniform N   N phantom pairs (T1 and T2 moving against a T1 head, alternately), turns
#               drawn evenly over all orientations, translations +-20 mm, scales +-10 %
#   small N     the same with turns of at most 45 degrees (the cases the standard search is
#               made for)
#   voxels N    as uniform, the moving head on 3 x 2.5 x 2.5 mm voxels (the levels then
#               start off the plain search's)
#   template N  the ICBM template (../shared/data) moved the same way, against itself
#   brain N     the brain-extracted subject (0.88 mm voxels) moved onto 1 mm voxels, against
#               itself
#   time        subject_t1_0.88mm -> icbm2009_t1_1mm, both searches
# Each case prints one line: section, case, search, the turn (degrees, axis), the mean
# distance from the truth of the search's answer and of the result after the precision
# stage, and the result's largest distance (mm, xfdist --world over the reference head),
# then wall and processor seconds of the registration. Files go to a scratch folder
# (default bench/out/, ignored by git), removed per case.
# Usage: bench/widesearch.sh BUILD-DIR SEARCHES SECTION N [SECTION N ...]
#        SEARCHES: header, wide, standard or both (wide and standard)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "$1" && pwd)
searches=$2
shift 2
data=${TARVO_DATA:-$(pwd)/../shared/data}
out=${WIDEBENCH_OUT:-$(pwd)/bench/out}
mkdir -p "$out"
tmp=$(mktemp -d "$out/run.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
kinds=(wide standard)
[ "$searches" = both ] || kinds=("$searches")

# Fixed head: 120 mm grid of 2 mm voxels, head 100 mm long; moving grid 144 mm.
"$build/phantom" --out "$tmp/fixed.nii" --contrast t1 --grid 60 60 60 --voxel 2 2 2 \
  --head-length 100 >/dev/null

run_case() {  # section index moving fixed truth(12) angle ax ay az
  local section=$1 i=$2 mov=$3 fix=$4
  shift 4
  local truth=("${@:1:12}") angle=${13} axis="${14} ${15} ${16}"
  for s in "${kinds[@]}"; do
    local t d0 d
    t=$("$build/searchbench" register "$mov" "$fix" "$s" "$tmp/m" |
      sed -n 's/^seconds \([0-9.]*\) evaluations [0-9]* cpu \([0-9.]*\)/\1 cpu \2/p')
    dist() { "$build/xfdist" "$mov" "$fix" "$1" "${truth[@]}" --world | sed -n 's/^mean \([0-9.]*\) mm, max \([0-9.]*\) mm.*/\1 \2/p'; }
    d0=$(dist "$tmp/m.search.txt" | cut -d' ' -f1)
    d=$(dist "$tmp/m.txt")
    echo "$section $i $s turn $angle axis $axis search $d0 dist $d seconds $t"
  done
}

plan=("$@")
for ((k = 0; k + 1 < ${#plan[@]}; k += 2)); do
  section=${plan[k]} n=${plan[k + 1]}
  case $section in
    uniform | small | voxels)
      max=180; seed=11; grid=(--grid 72 72 72 --voxel 2 2 2)
      [ "$section" = small ] && max=45 && seed=12
      [ "$section" = voxels ] && seed=15 && grid=(--grid 60 72 72 --voxel 3 2.5 2.5)
      i=0
      while read -r line; do
        set -- $line
        i=$((i + 1))
        contrast=t1; [ $((i % 2)) -eq 0 ] && contrast=t2
        "$build/phantom" --out "$tmp/moving.nii" --contrast $contrast "${grid[@]}" \
          --head-length 100 --affine "${@:1:12}" >/dev/null
        run_case "$section-$contrast" $i "$tmp/moving.nii" "$tmp/fixed.nii" "$@"
      done < <("$build/searchbench" cases "$n" $seed $max)
      ;;
    template | brain)
      # The image with its grid centre at the world origin, as the moved copies (1 mm
      # voxels) have it: the template against itself, or the brain-extracted subject on
      # its own 0.88 mm voxels, whose levels then start off the plain search's.
      image=$data/icbm2009_t1_1mm.nii.gz seed=13
      [ "$section" = brain ] && image=$data/subject_t1_brain_0.88mm.nii.gz seed=14
      [ -f "$image" ] || { echo "$section: no shared data"; continue; }
      "$build/searchbench" centre "$image" "$tmp/fixed-image.nii"
      i=0
      while read -r line; do
        set -- $line
        i=$((i + 1))
        "$build/searchbench" move "$image" "$tmp/moving.nii" 240 "${@:1:12}"
        run_case "$section" $i "$tmp/moving.nii" "$tmp/fixed-image.nii" "$@"
      done < <("$build/searchbench" cases "$n" $seed 180)
      ;;
    time)
      # register itself, process and all: wall, user and system seconds.
      for s in "${kinds[@]}"; do
        t=$({ /usr/bin/time -f "%e %U %S" "$build/tarvo" register "$data/subject_t1_0.88mm.nii.gz" \
          "$data/icbm2009_t1_1mm.nii.gz" --matrix "$tmp/m.txt" --search "$s" --quiet >/dev/null; } 2>&1)
        echo "time subject_t1_0.88mm->icbm2009 $s wall user sys $t"
      done
      ;;
  esac
done
