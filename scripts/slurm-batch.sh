#!/usr/bin/env bash
# Registers a cohort on a Slurm cluster: an array job of N tasks, each running
# `tarvo batch` on its share of the list (the array's numbers give the shard), then a
# dependent job that gathers every subject's row into DIR/results.tsv, whatever became
# of the tasks. Rerunning the same command resubmits and skips what is already done.
#
#   scripts/slurm-batch.sh [--tasks N] [--tarvo PATH] [--sbatch OPTION]... \
#       FIXED LIST --out-dir DIR [tarvo batch options]
#
#   --tasks N        array tasks (default 10, never more than the subjects)
#   --tarvo PATH     the tarvo to run (default: tarvo on PATH, as the nodes see it)
#   --sbatch OPTION  passed to both sbatch calls, e.g. --sbatch --partition=short
#                    (repeatable; SBATCH_* environment variables work as usual)
# Prints the two job ids. Task logs go to DIR/slurm/.
set -euo pipefail

tasks=10
tarvo=tarvo
sbatch_opts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --tasks) tasks=$2; shift 2 ;;
    --tarvo) tarvo=$2; shift 2 ;;
    --sbatch) sbatch_opts+=("$2"); shift 2 ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || { echo "slurm-batch: FIXED LIST --out-dir DIR [options] expected (see --help)" >&2; exit 1; }
case "$tasks" in ''|*[!0-9]*|0) echo "slurm-batch: --tasks must be a whole number above 0" >&2; exit 1 ;; esac

list=$2
outdir=
args=("$@")
for ((i = 0; i < ${#args[@]}; ++i)); do
  case "${args[i]}" in
    --out-dir) outdir=${args[i+1]:-} ;;
    --out-dir=*) outdir=${args[i]#--out-dir=} ;;
    --shard|--shard=*|--merge) echo "slurm-batch: the array chooses the shards; leave out ${args[i]}" >&2; exit 1 ;;
  esac
done
[ -n "$outdir" ] || { echo "slurm-batch: --out-dir DIR is required" >&2; exit 1; }
[ -r "$list" ] || { echo "slurm-batch: cannot read list '$list'" >&2; exit 1; }
# Never more tasks than subjects: an empty shard would only cost a job.
subjects=$(grep -cvE '^[[:space:]]*(#|$)' "$list" || true)
[ "$subjects" -gt 0 ] || { echo "slurm-batch: list '$list' holds no subject" >&2; exit 1; }
[ "$tasks" -le "$subjects" ] || tasks=$subjects

# The options and the list (ids used twice, say) are checked here, on the submitting
# machine, by a merge: it refuses them exactly as the tasks would, and writes only a
# table, which is removed again.
mkdir -p "$outdir/slurm"
"$tarvo" batch "$@" --merge >/dev/null 2>"$outdir/slurm/check.txt" || true
if grep -q 'error:' "$outdir/slurm/check.txt"; then cat "$outdir/slurm/check.txt" >&2; exit 1; fi
rm -f "$outdir/results.tsv"

# The command line goes into a script, quoted, so that no name is split or expanded twice.
cmd=$(printf '%q ' "$tarvo" batch "$@")
cat > "$outdir/slurm/task.sh" <<SH
#!/usr/bin/env bash
exec $cmd
SH
cat > "$outdir/slurm/merge.sh" <<SH
#!/usr/bin/env bash
exec $cmd --merge
SH
chmod +x "$outdir/slurm/task.sh" "$outdir/slurm/merge.sh"

array=$(sbatch --parsable ${sbatch_opts[@]+"${sbatch_opts[@]}"} --job-name=tarvo-batch --array="1-$tasks" \
  --output="$outdir/slurm/task-%a.log" "$outdir/slurm/task.sh")
array=${array%%;*}
merge=$(sbatch --parsable ${sbatch_opts[@]+"${sbatch_opts[@]}"} --job-name=tarvo-merge \
  --dependency="afterany:$array" --output="$outdir/slurm/merge.log" "$outdir/slurm/merge.sh")
merge=${merge%%;*}
echo "array job: $array ($tasks tasks)"
echo "merge job: $merge (writes $outdir/results.tsv)"
