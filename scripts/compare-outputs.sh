#!/usr/bin/env bash
# Runs every command of two builds of tarvo on the same inputs and compares what they
# leave, byte for byte: standard output, standard error, exit status and every file
# written. A change that should not change behaviour (a reorganisation, a rename) must
# leave no difference. Timing is the only thing left out: the `time:` line and the
# search's timing lines, and the seconds column of results.tsv.
#
#   scripts/compare-outputs.sh OLD_TARVO NEW_TARVO [WORKDIR]
#
# Inputs: synthetic heads made by the phantom tool beside OLD_TARVO, and, where the shared
# real volumes are present (TARVO_DATA, default ../shared/data), the real scans. Each case
# runs with the CPU backend on 1 and on 2 threads. Exit status 0 when nothing differs.
# KEEP_OLD=1 reuses the old build's outputs from an earlier run into the same WORKDIR.
set -uo pipefail
old=$(realpath "${1:?usage: compare-outputs.sh OLD_TARVO NEW_TARVO [WORKDIR]}")
new=$(realpath "${2:?usage: compare-outputs.sh OLD_TARVO NEW_TARVO [WORKDIR]}")
work=$(realpath -m "${3:-$(mktemp -d)}")
data=$(realpath -m "${TARVO_DATA:-$(dirname "$0")/../../shared/data}")
phantom=$(dirname "$old")/phantom
export TARVO_DEVICE=cpu
unset TARVO_VERBOSE

mkdir -p "$work/in"
in=$work/in
"$phantom" --out "$in/t1.nii.gz" --grid 60 60 60 --voxel 2.2 2.2 2.2 --head-length 110 >/dev/null
"$phantom" --out "$in/t2.nii.gz" --contrast t2 --grid 50 64 50 --voxel 2.6 2.3 2.8 --head-length 110 --layout sagittal \
  --affine 8 -6 12 4 -3 5 1.05 0.96 1.02 0.02 0 -0.01 --noise 3 --seed 5 >/dev/null
"$phantom" --out "$in/t1b.nii" --grid 56 64 56 --voxel 2.4 2.2 2.4 --head-length 110 --datatype 16 --layout oblique \
  --affine -5 4 3 -2 6 1 0.98 1.03 1 0 0.01 0 --noise 2 --seed 7 >/dev/null
"$phantom" --out "$in/t1i.nii.gz" --grid 60 60 60 --voxel 2.2 2.2 2.2 --head-length 110 --datatype 4 --no-orient \
  --affine 0 0 170 3 0 0 1 1 1 0 0 0 >/dev/null
printf '1 0 0 2\n0 0.98 0.1 -3\n0 -0.1 0.98 1\n0 0 0 1\n' >"$in/matrix.txt"
printf '5\n-3\n2\n1\n-2\n4\n1.02\n0.97\n1\n0.01\n0\n0\n' >"$in/params.txt"
printf 'a\t%s\nb\t%s\n' "$in/t2.nii.gz" "$in/t1b.nii" >"$in/list.txt"
printf '%s\n' "$in/missing.nii.gz" >"$in/badlist.txt"

cases=()
add() { cases+=("$*"); }
# The original commands (each in its own folder: -r writes test.txt where it runs).
add "r          -r \$in/t2.nii.gz \$in/t1.nii.gz -o out.nii.gz"
add "tm         -tm \$in/t2.nii.gz \$in/matrix.txt -o out.nii"
add "tt         -tt \$in/t1b.nii \$in/params.txt -o out.nii.gz"
add "i          -i \$in/t2.nii.gz 1.5 2.5 3 -o out.nii.gz"
add "d          -d \$in/t1b.nii -o out.nii.gz"
add "c          -c \$in/t2.nii.gz \$in/t1.nii.gz"
add "c_bad      -c \$in/missing.nii \$in/t1.nii.gz"
add "usage"
# The new commands.
add "reg        register \$in/t2.nii.gz \$in/t1.nii.gz -o out.nii.gz --itk itk.txt --qc qc.png"
add "reg6       register \$in/t1b.nii \$in/t1.nii.gz -o out.nii --dof 6 --search standard --no-refine"
add "reg7c      register \$in/t1b.nii \$in/t1.nii.gz --matrix m.txt --dof 7 --init centroid"
add "reg9i      register \$in/t2.nii.gz \$in/t1.nii.gz --matrix m.txt --dof 9 --init identity --search standard"
add "regturn    register \$in/t1i.nii.gz \$in/t1.nii.gz -o out.nii.gz"
add "regmask    register \$in/t2.nii.gz \$in/t1.nii.gz -o out.nii.gz --fixed-mask \$in/t1.nii.gz --moving-mask \$in/t2.nii.gz"
add "reginit    register \$in/t1b.nii \$in/t1.nii.gz --matrix m.txt --init \$in/matrix.txt"
add "reg_bad    register \$in/t2.nii.gz \$in/missing.nii.gz -o out.nii.gz"
add "apply      apply \$in/t2.nii.gz \$in/t1.nii.gz \$in/matrix.txt -o out.nii.gz"
add "applyn     apply \$in/t1b.nii \$in/t1.nii.gz \$in/matrix.txt -o out.nii --interp nearest"
add "apply_bad  apply \$in/t2.nii.gz \$in/t1.nii.gz \$in/missing.txt -o out.nii.gz"
add "batch      batch \$in/t1.nii.gz \$in/list.txt --out-dir b --qc --quiet"
add "batch_bad  batch \$in/t1.nii.gz \$in/badlist.txt --out-dir b --quiet"
add "help       --help"
add "version    --version"
add "reghelp    register --help"
add "bathelp    batch --help"
if [ -d "$data" ]; then
  add "real_r     -r \$data/subject_t1_brain_0.88mm.nii.gz \$data/icbm2009_t1_1mm.nii.gz -o out.nii.gz"
  add "real_c     -c \$data/subject_flair_1mm.nii.gz \$data/icbm2009_t1_1mm.nii.gz"
  add "real_reg   register \$data/subject_t1_brain_0.88mm.nii.gz \$data/icbm2009_t1_1mm.nii.gz -o out.nii.gz --itk itk.txt --qc qc.png"
  add "real_epi   register \$data/epi_mean_3mm.nii.gz \$data/icbm2009_t1_1mm.nii.gz -o out.nii.gz"
  add "real_flair register \$data/subject_flair_1mm.nii.gz \$data/icbm2009_t1_1mm.nii.gz -o out.nii.gz --dof 6"
  add "real_apply apply \$data/subject_t1_0.88mm.nii.gz \$data/icbm2009_t1_1mm.nii.gz \$in/matrix.txt -o out.nii.gz"
  printf 'epi\t%s\nflair\t%s\n' "$data/epi_mean_3mm.nii.gz" "$data/subject_flair_1mm.nii.gz" >"$in/reallist.txt"
  add "real_batch batch \$data/icbm2009_t1_1mm.nii.gz \$in/reallist.txt --out-dir b --qc --quiet"
else
  echo "note: no shared volumes at $data; synthetic heads only" >&2
fi

# Timing is not behaviour: the lines and columns that carry it are blanked.
scrub() {
  sed -E -e 's/^time: .*/time: -/' \
         -e 's/(registration time \(without data read and write\) used: )[0-9.]+s/\1-s/' \
         -e 's/(total time for CR Calculation: )[0-9.]+s/\1-s/' \
         -e 's/(total registration time used: )[0-9.]+s/\1-s/' "$1"
}
scrub_tsv() { awk -F'\t' 'BEGIN{OFS="\t"} NR>1 && NF>=5 {$5="-"} {print}' "$1"; }

differences=0
for threads in 1 2; do
  for c in "${cases[@]}"; do
    name=${c%% *}
    args=$(eval "echo ${c#* }")
    [ "$name" = usage ] && args=""
    for side in old new; do
      bin=$old; [ $side = new ] && bin=$new
      d=$work/$threads/$name/$side
      # The old build's outputs of an earlier run in the same WORKDIR, when asked to keep them.
      [ $side = old ] && [ -n "${KEEP_OLD:-}" ] && [ -f "$d.status" ] && continue
      rm -rf "$d"; mkdir -p "$d"
      # shellcheck disable=SC2086
      (cd "$d" && TARVO_THREADS=$threads "$bin" $args >../$side.stdout 2>../$side.stderr; echo $? >../$side.status)
      # The program names itself in its usage texts: one name for both sides.
      sed -i "s#$bin#tarvo#g" "$work/$threads/$name/$side.stdout" "$work/$threads/$name/$side.stderr"
    done
    d=$work/$threads/$name
    bad=""
    for s in stdout stderr status; do
      cmp -s <(scrub "$d/old.$s") <(scrub "$d/new.$s") || bad+=" $s"
    done
    while IFS= read -r f; do
      if [ ! -e "$d/new/$f" ]; then bad+=" missing:$f"; continue; fi
      case $f in
        *.tsv) cmp -s <(scrub_tsv "$d/old/$f") <(scrub_tsv "$d/new/$f") || bad+=" $f" ;;
        *) cmp -s "$d/old/$f" "$d/new/$f" || bad+=" $f" ;;
      esac
    done < <(cd "$d/old" && find . -type f | sort)
    extra=$(comm -13 <(cd "$d/old" && find . -type f | sort) <(cd "$d/new" && find . -type f | sort))
    [ -n "$extra" ] && bad+=" extra:$(echo $extra)"
    files=$(cd "$d/old" && find . -type f | wc -l)
    if [ -n "$bad" ]; then
      printf 'DIFFER  threads=%s %-11s%s\n' "$threads" "$name" "$bad"
      differences=$((differences + 1))
    else
      printf 'same    threads=%s %-11s status %s, %s files\n' "$threads" "$name" "$(cat "$d/old.status")" "$files"
    fi
  done
done
echo "$differences cases differ (outputs kept in $work)"
[ $differences -eq 0 ]
