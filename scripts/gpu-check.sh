#!/usr/bin/env bash
# Checks the CUDA backend on a GPU machine with binaries built elsewhere
# (scripts/build-gpu-bundle.sh), in one visit of a few minutes. Builds nothing.
#
# Usage: scripts/gpu-check.sh [--dry-run] [bundle-dir]      (default bundle .gpu/)
#   --dry-run  no GPU needed: checks the bundle and the plumbing, lists the steps it would
#              run (each marked skipped) and writes the same files.
# Environment: OUT         where the results go (default ./gpu-check-out)
#              GPU_CHECK_SECONDS   the whole check's deadline (default 480)
#              GPU_CHECK_SANITIZE_FILTER   the GPU tests run under compute-sanitizer
#              TARVO_DATA  real volumes (default bundle-dir/data, else ../shared/data)
#
# The steps, most valuable first; each runs only when enough of the deadline is left, and
# a skipped step says so in the summary:
#   1. texprobe: which texture rules the hardware follows (TARVO_TEXTURE_RULES for the CPU);
#   2. the GPU tests, against the CPU backend under the probe's rules;
#   3. CPU versus GPU: resampling commands and costs, then whole registrations; a batch
#      of 20 on the GPU against register, byte for byte, with its time per subject;
#   4. compute-sanitizer racecheck and synccheck on a few cost and sort tests;
#   5. benchmarks: costbench per level (GPU peak memory against the 1 GB goal), timed "-r".
#
# Results, three files under $OUT: summary.txt (every PASS, FAIL, SKIP and BENCH line, and
# the values of failing assertions), gpu-tests.log (the GPU tests' whole output) and
# rest.tar.gz (every other log, report and output). Exit status 0 when nothing failed.
set -uo pipefail

# ---- helpers (the shell test sources the script to reach them) -----------------------

say() { echo "$*" | tee -a "$summary"; }
pass() { passed=$((passed + 1)); say "PASS  $*"; }
fail() { failed=$((failed + 1)); say "FAIL  $*"; }
skip() { say "SKIP  $*"; }

# Seconds left before the deadline.
left() { echo $((deadline - SECONDS)); }

# step NAME MIN: true when at least MIN seconds are left (keeping a margin to pack the
# results); else a SKIP line.
step() {
  local name=$1 need=$2
  if [ "$dry_run" = 1 ]; then
    skip "$name: dry run (would run with ${need} s or more left)"
    return 1
  fi
  if [ "$(left)" -lt $((need + margin)) ]; then
    skip "$name: $(left) s left of the deadline, needs $need s"
    return 1
  fi
  return 0
}

# limit CAP: the seconds a command may take, CAP at most and never past the deadline.
limit() {
  local l=$(($(left) - margin))
  [ "$l" -lt 1 ] && l=1
  [ "$1" -lt "$l" ] && l=$1
  echo "$l"
}

# The failed assertions of a gtest log with their values: each "Failure" line and what
# follows it up to the test's end (at most 12 lines each, 60 in all).
failure_details() {
  awk '
    /: Failure$/ || /^unknown file: Failure/ { grab = 12; n = 0 }
    /^\[ +(FAILED|OK|RUN|SKIPPED) +\]/ { grab = 0 }
    grab > 0 { print "    " $0; grab--; if (++total >= 60) exit }
  ' "$1"
}

# The result line of a gtest log: counts of passed, failed and skipped tests.
gtest_counts() {
  grep -E '^\[  (PASSED|FAILED)  \] [0-9]|^\[  SKIPPED \] [0-9]' "$1" | tr '\n' ' '
}

if [ "${BASH_SOURCE[0]}" != "$0" ]; then return 0; fi

# ---- arguments and layout ------------------------------------------------------------

dry_run=0
if [ "${1:-}" = "--dry-run" ]; then
  dry_run=1
  shift
fi
bundle_arg=${1:-.gpu}
budget=${GPU_CHECK_SECONDS:-480}
margin=15
deadline=$((SECONDS + budget))

out=${OUT:-$(pwd)/gpu-check-out}
mkdir -p "$out" || { echo "gpu-check: cannot write to $out" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rest=$work/rest  # everything that goes into rest.tar.gz
mkdir -p "$rest"
summary=$out/summary.txt
testlog=$out/gpu-tests.log
log=$rest/commands.log
: >"$summary"
: >"$log"
passed=0
failed=0
export FSLOUTPUTTYPE=NIFTI

say "== gpu-check $(date -u '+%F %T') UTC$([ $dry_run = 1 ] && echo ', dry run'), deadline ${budget} s"

bundle=""
if [ -d "$bundle_arg" ]; then bundle=$(cd "$bundle_arg" && pwd); fi
say "bundle: ${bundle:-none at $bundle_arg}"
missing=()
for b in tarvo phantom tarvo_gpu_tests imgcmp texprobe costbench; do
  [ -n "$bundle" ] && [ -x "$bundle/$b" ] || missing+=("$b")
done
if [ ${#missing[@]} -gt 0 ]; then
  fail "bundle lacks ${missing[*]} (run scripts/build-gpu-bundle.sh)"
fi
if [ -n "$bundle" ] && [ -d "$bundle/data" ]; then data=$bundle/data; else data=${TARVO_DATA:-$(pwd)/../shared/data}; fi
if command -v nvidia-smi >/dev/null 2>&1; then
  say "gpu: $(nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader 2>/dev/null | head -1)"
fi
have() { [ -n "$bundle" ] && [ -x "$bundle/$1" ]; }

# ---- 1. texture rules ------------------------------------------------------------------
say "== 1. texture rules (texprobe)"
rules=floor,even
if step "texprobe" 10 && have texprobe; then
  timeout "$(limit 60)" "$bundle/texprobe" >"$rest/texprobe.txt" 2>&1
  rc=$?
  sed 's/^/  /' "$rest/texprobe.txt" | tee -a "$summary"
  found=$(sed -n 's/^TARVO_TEXTURE_RULES=//p' "$rest/texprobe.txt" | tail -1)
  case $rc in
    0) rules=$found; pass "texture rules: the hardware follows $rules bit for bit" ;;
    3) rules=$found; fail "texture rules: neither reading matches the hardware bit for bit; the closest, $rules, is used" ;;
    *) fail "texprobe (status $rc): the default rules $rules are used" ;;
  esac
fi
export TARVO_TEXTURE_RULES=$rules
say "TARVO_TEXTURE_RULES=$rules for every CPU run below"

# ---- 2. GPU tests ----------------------------------------------------------------------
say "== 2. GPU tests"
if step "GPU tests" 30 && have tarvo_gpu_tests; then
  timeout "$(limit 240)" "$bundle/tarvo_gpu_tests" --gtest_output="xml:$rest/gpu-tests.xml" >"$testlog" 2>&1
  rc=$?
  counts=$(gtest_counts "$testlog")
  if grep -q '^\[  SKIPPED \] [0-9]' "$testlog"; then
    fail "tarvo_gpu_tests: tests skipped on a GPU machine: $counts"
  elif [ $rc -eq 0 ]; then
    pass "tarvo_gpu_tests under $rules: $counts"
  else
    fail "tarvo_gpu_tests under $rules (status $rc${counts:+: $counts})"
    grep -E '^\[  FAILED  \] [A-Za-z]' "$testlog" | sort -u | head -20 | sed 's/^/  /' | tee -a "$summary"
    say "  failed assertions:"
    failure_details "$testlog" | tee -a "$summary"
  fi
else
  echo "gpu-check: the GPU tests were not run (see summary.txt)" >"$testlog"
fi

# ---- 3. CPU versus GPU -------------------------------------------------------------------
# Seconds of one command, its output appended to the log.
timed() {
  local t0 t1 cap=$1
  shift
  t0=$(date +%s.%N)
  timeout "$(limit "$cap")" "$@" >>"$log" 2>&1
  local rc=$?
  t1=$(date +%s.%N)
  elapsed=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  return $rc
}

# One image command on both backends ("-o" and the output name are appended), the two
# outputs compared in stored values.
compare_image_command() {
  local name=$1
  shift
  step "$name" 10 || return
  local cpu_t gpu_t
  if ! TARVO_DEVICE=cpu timed 120 "$bundle/tarvo" "$@" -o "$work/cpu.nii"; then
    fail "$name: cpu run failed"; return
  fi
  cpu_t=$elapsed
  if ! TARVO_DEVICE=cuda timed 120 "$bundle/tarvo" "$@" -o "$work/gpu.nii"; then
    fail "$name: cuda run failed (see commands.log)"; return
  fi
  gpu_t=$elapsed
  local diff rc
  diff=$("$bundle/imgcmp" "$work/cpu.nii" "$work/gpu.nii")
  rc=$?
  if [ $rc -eq 0 ]; then pass "$name: $diff (cpu ${cpu_t}s, cuda ${gpu_t}s)"; else fail "$name: $diff"; fi
  rm -f "$work/cpu.nii" "$work/gpu.nii"
}

# Runs "-c" on one backend; sets cost (the printed value) and elapsed.
cost_on() {
  TARVO_DEVICE=$1 timed 120 "$bundle/tarvo" -c "$2" "$3" || return 1
  cost=$(tail -3 "$log" | sed -n 's/^CorrelationRatio is: //p' | tail -1)
  [ -n "$cost" ]
}

# The numbers of a "12 DOF 1mm:" line, space-separated: rotation 3, translation 3, scale 3,
# skew 3, cost.
final_numbers() {
  grep '^12 DOF 1mm:' "$1" | tail -1 | sed 's/^12 DOF 1mm://' | grep -oE '[-+]?[0-9]+\.[0-9]+' | tr '\n' ' '
}

# What fixes the path of a search: the evaluation count, the 8 mm candidates' rotations and
# the median scale, one word per line.
search_path() {
  {
    sed -n 's/.*global count is: \([0-9]*\).*/count \1/p' "$1"
    sed -n 's/^\([0-9]\):rotation(\([^)]*\)).*/candidate \1 \2/p' "$1" | head -3
    sed -n 's/^MedianScale is:\([^,]*\),minimaCount is:\(.*\)/median \1 minima \2/p' "$1"
  }
}

# "-r" on both backends: the final costs must agree within 1e-3; the parameters are
# reported side by side. The search takes discrete steps, so the two backends may go
# different ways from a tiny cost difference: that is said, not failed, when the final
# costs still agree.
compare_registration() {
  local name=$1 src=$2 ref=$3
  step "-r $name on both backends" 90 || return
  local d dev
  for dev in cpu cuda; do
    d=$work/reg_${name}_$dev
    mkdir -p "$d"
    if ! (cd "$d" && TARVO_DEVICE=$dev TARVO_VERBOSE=1 timeout "$(limit 180)" "$bundle/tarvo" -r "$src" "$ref" \
          -o "$d/out.nii" >"$d/out.txt" 2>"$d/err.txt"); then
      fail "-r $name on $dev did not finish (see reg-$name-$dev.txt)"
      cp "$d/out.txt" "$rest/reg-$name-$dev.txt" 2>/dev/null
      return
    fi
    cp "$d/out.txt" "$rest/reg-$name-$dev.txt"
    cp "$d/err.txt" "$rest/reg-$name-$dev.err.txt"
  done
  local c g verdict
  c=$(final_numbers "$work/reg_${name}_cpu/out.txt")
  g=$(final_numbers "$work/reg_${name}_cuda/out.txt")
  verdict=$(awk -v c="$c" -v g="$g" 'BEGIN {
      n = split(c, a, " "); m = split(g, b, " ");
      if (n != 13 || m != 13) { print "unparsed"; exit }
      split("rotation rotation rotation translation translation translation scale scale scale skew skew skew", w, " ");
      for (i = 1; i <= 12; ++i) { d = a[i] - b[i]; if (d < 0) d = -d; if (d > worst[w[i]]) worst[w[i]] = d }
      dc = a[13] - b[13]; if (dc < 0) dc = -dc;
      printf "%s cost_diff %.6f rotation_deg %.4f translation_mm %.4f scale %.5f skew %.5f\n", (dc <= 1e-3 ? "ok" : "bad"),
        dc, worst["rotation"], worst["translation"], worst["scale"], worst["skew"] }')
  say "  $name cpu : $(grep '^12 DOF 1mm:' "$work/reg_${name}_cpu/out.txt" | tail -1)"
  say "  $name cuda: $(grep '^12 DOF 1mm:' "$work/reg_${name}_cuda/out.txt" | tail -1)"
  local path="same discrete path (evaluation count, 8 mm candidates, median scale)"
  if ! diff <(search_path "$work/reg_${name}_cpu/out.txt") <(search_path "$work/reg_${name}_cuda/out.txt") >"$work/path.diff"; then
    path="DIFFERENT discrete paths: $(grep '^[<>]' "$work/path.diff" | head -4 | tr '\n' ';')"
  fi
  say "  $name search: $path"
  case $verdict in
    ok*) pass "-r $name: final costs agree within 1e-3; largest differences: ${verdict#ok }" ;;
    bad*) fail "-r $name: final costs differ by more than 1e-3; ${verdict#bad }" ;;
    *) fail "-r $name: no final '12 DOF 1mm' line to compare (see reg-$name-*.txt)" ;;
  esac
}

t1_pair=("$data/subject_t1_0.88mm.nii.gz" "$data/icbm2009_t1_1mm.nii.gz")
flair_pair=("$data/subject_flair_1mm.nii.gz" "$data/icbm2009_t1_1mm.nii.gz")
have_pair() { [ -f "$1" ] && [ -f "$2" ]; }

say "== 3. cpu versus cuda"
volumes=("$work/ph_t1.nii" "$work/ph_t2.nii" "$work/ph_u8.nii")
pairs=("$work/ph_t2.nii:$work/ph_t1.nii" "$work/ph_t1.nii:$work/ph_t1.nii" "$work/ph_u8.nii:$work/ph_t1.nii")
if [ -f "$data/icbm2009_t1_1mm.nii.gz" ]; then
  for f in icbm2009_t1_1mm subject_t1_0.88mm subject_flair_1mm epi_mean_3mm; do
    [ -f "$data/$f.nii.gz" ] && volumes+=("$data/$f.nii.gz")
  done
  for f in subject_t1_0.88mm subject_flair_1mm epi_mean_3mm; do
    [ -f "$data/$f.nii.gz" ] && pairs+=("$data/$f.nii.gz:$data/icbm2009_t1_1mm.nii.gz")
  done
  say "real volumes: $data"
else
  say "real volumes: none (no $data)"
fi
if step "test volumes" 20 && have phantom; then
  timeout "$(limit 60)" "$bundle/phantom" --out "$work/ph_t1.nii" --contrast t1 --grid 128 150 120 \
    --voxel 1.2 1.2 1.2 --datatype 16 --noise 2 --seed 1 >>"$log" 2>&1
  timeout "$(limit 60)" "$bundle/phantom" --out "$work/ph_t2.nii" --contrast t2 --grid 128 150 120 \
    --voxel 1.2 1.2 1.2 --datatype 16 --noise 2 --seed 2 --affine 8 -6 10 5 -4 3 1.03 0.98 1.01 0 0 0 >>"$log" 2>&1
  timeout "$(limit 60)" "$bundle/phantom" --out "$work/ph_u8.nii" --contrast t1 --grid 97 115 93 \
    --voxel 2 2 2 --datatype 2 --noise 3 --seed 3 >>"$log" 2>&1
fi
# Costs first: they are what the texture rules decide.
for p in "${pairs[@]}"; do
  s=${p%%:*} r=${p##*:}
  name="-c $(basename "$s") $(basename "$r")"
  step "$name" 10 || continue
  [ -f "$s" ] && [ -f "$r" ] || { fail "$name: no such volumes"; continue; }
  cost_on cpu "$s" "$r" || { fail "$name: cpu run failed"; continue; }
  c=$cost ct=$elapsed
  cost_on cuda "$s" "$r" || { fail "$name: cuda run failed (see commands.log)"; continue; }
  g=$cost gt=$elapsed
  if awk -v a="$c" -v b="$g" 'BEGIN { d = a - b; if (d < 0) d = -d; exit !(a != "" && b != "" && d <= 1e-4) }'; then
    pass "$name: cpu $c cuda $g (cpu ${ct}s, cuda ${gt}s)"
  else
    fail "$name: cpu '$c' cuda '$g'"
  fi
done
for v in "${volumes[@]}"; do
  short=$(basename "$v")
  compare_image_command "-d $short" -d "$v"
  compare_image_command "-i $short 1.3 1.3 1.3" -i "$v" 1.3 1.3 1.3
  compare_image_command "-i $short 2 2.5 3" -i "$v" 2 2.5 3
done
if have_pair "${t1_pair[@]}"; then compare_registration t1-0.88mm "${t1_pair[@]}"; fi
if have_pair "${flair_pair[@]}"; then compare_registration flair "${flair_pair[@]}"; fi

# A batch on the GPU: 20 subjects to one reference, all of them one image under 20 ids (a
# real subject when there is one, else the phantom pair). The fixed image's levels are
# sorted once and shared by every pair, so every subject's files must be register's, byte
# for byte: nothing of one subject may reach the next. The seconds per subject, reading
# and writing included, go to the summary (goal: 0.15 s on an H100).
batch_on_gpu() {
  step "batch of 20 on cuda" 90 || return
  local d=$work/batch src ref
  if have_pair "${t1_pair[@]}"; then src=${t1_pair[0]} ref=${t1_pair[1]}
  elif [ -f "$work/ph_t2.nii" ] && [ -f "$work/ph_t1.nii" ]; then src=$work/ph_t2.nii ref=$work/ph_t1.nii
  else fail "batch on cuda: no volumes"; return; fi
  mkdir -p "$d"
  for i in $(seq 20); do printf 's%d\t%s\n' "$i" "$src"; done >"$d/list.txt"
  if ! TARVO_DEVICE=cuda timed 240 "$bundle/tarvo" batch "$ref" "$d/list.txt" --out-dir "$d/out" --quiet; then
    fail "batch of 20 on cuda (see commands.log)"; cp "$d/out/results.tsv" "$rest/batch-results.tsv" 2>/dev/null; return
  fi
  local batch_t=$elapsed
  cp "$d/out/results.tsv" "$rest/batch-results.tsv"
  if ! TARVO_DEVICE=cuda timed 120 "$bundle/tarvo" register "$src" "$ref" -o "$d/reg.nii.gz" --itk "$d/reg_itk.txt" --quiet; then
    fail "register on cuda for the batch comparison (see commands.log)"; return
  fi
  local reg_t=$elapsed differ=""
  for i in $(seq 20); do
    cmp -s "$d/reg.nii.gz" "$d/out/s$i/s$i.nii.gz" && cmp -s "$d/reg_affine.txt" "$d/out/s$i/s${i}_affine.txt" \
      && cmp -s "$d/reg_itk.txt" "$d/out/s$i/s${i}_itk.txt" || differ+=" s$i"
  done
  if [ -z "$differ" ]; then pass "batch of 20 on cuda: every subject's files are register's byte for byte"
  else fail "batch of 20 on cuda: files differ from register's for$differ"; fi
  local per mean goal="goal 0.15 s met"
  per=$(awk -v t="$batch_t" 'BEGIN { printf "%.3f", t / 20 }')
  mean=$(awk -F '\t' 'NR > 1 { s += $5; n++ } END { if (n) printf "%.3f", s / n }' "$d/out/results.tsv")
  awk -v p="$per" 'BEGIN { exit !(p > 0.15) }' && goal="over the 0.15 s goal"
  say "BENCH batch of 20 on cuda ($(basename "$src") to $(basename "$ref")): ${batch_t}s in all, ${per}s per subject ($goal); each subject's own row ${mean}s; one register process ${reg_t}s"
}
batch_on_gpu

# ---- 4. compute-sanitizer ---------------------------------------------------------------
say "== 4. compute-sanitizer"
sanitizer=$(command -v compute-sanitizer || ls /usr/local/cuda/bin/compute-sanitizer 2>/dev/null || true)
filter=${GPU_CHECK_SANITIZE_FILTER:-CudaVsCpu.BucketSortIsStable:CudaVsCpu.TinyReferencesFollowTheThreeVoxelRule:CudaVsCpu.CostOfAVolumeWithItselfAndOfAConstantSource:CudaVsCpu.LargeBatchSpansSeveralLaunches}
for tool in racecheck synccheck; do
  step "compute-sanitizer $tool" 45 || continue
  if [ -z "$sanitizer" ] || ! have tarvo_gpu_tests; then
    skip "compute-sanitizer $tool: no compute-sanitizer on this machine"
    continue
  fi
  timeout "$(limit 150)" "$sanitizer" --tool "$tool" --error-exitcode 9 "$bundle/tarvo_gpu_tests" \
    --gtest_filter="$filter" >"$rest/sanitizer-$tool.txt" 2>&1
  rc=$?
  errs=$(grep -E 'ERROR SUMMARY|RACECHECK SUMMARY' "$rest/sanitizer-$tool.txt" | tail -2 | tr '\n' ' ')
  case $rc in
    0) pass "compute-sanitizer $tool on $filter: ${errs:-no summary}" ;;
    124 | 137) fail "compute-sanitizer $tool: ran out of time (see sanitizer-$tool.txt)" ;;
    *) fail "compute-sanitizer $tool (status $rc): $errs"
       grep -E '^========= (Error|Race|Barrier|Invalid|Warning)|^=========     at ' "$rest/sanitizer-$tool.txt" |
         head -12 | sed 's/^/  /' | tee -a "$summary" ;;
  esac
done

# ---- 5. benchmarks ---------------------------------------------------------------------
# Figures only: a slow run is reported against the goals (a registration within 0.1 s,
# GPU memory within 1 GB), not failed; a benchmark that does not run is a failure.

# Largest GPU memory use (MiB, all processes) while a command runs, sampled every 20 ms;
# sets gpu_peak ("" without nvidia-smi) and returns the command's status.
with_gpu_sampling() {
  gpu_peak=""
  if ! command -v nvidia-smi >/dev/null 2>&1; then "$@"; return; fi
  local samples=$work/gpumem.txt
  nvidia-smi --query-gpu=memory.used --format=csv,noheader,nounits -lms 20 >"$samples" 2>/dev/null &
  local sampler=$!
  sleep 0.3
  "$@"
  local rc=$?
  sleep 0.1
  kill "$sampler" 2>/dev/null
  wait "$sampler" 2>/dev/null
  gpu_peak=$(awk 'BEGIN { m = -1 } $1 + 0 > m { m = $1 + 0 } END { if (m >= 0) print m }' "$samples")
  return $rc
}

# One "-r" on the GPU in its own folder, with TARVO_VERBOSE=1 and, where present,
# /usr/bin/time -v; the figures go to the summary.
bench_registration() {
  local name=$1 src=$2 ref=$3 dir=$work/bench_$1
  step "benchmark -r $name" 30 || return
  mkdir -p "$dir"
  local timer=()
  [ -x /usr/bin/time ] && timer=(/usr/bin/time -v -o "$dir/time.txt")
  (cd "$dir" && with_gpu_sampling env TARVO_DEVICE=cuda TARVO_VERBOSE=1 timeout "$(limit 120)" \
     ${timer[@]+"${timer[@]}"} "$bundle/tarvo" -r "$src" "$ref" -o "$dir/out.nii" >"$dir/out.txt" 2>"$dir/err.txt"
   echo "$gpu_peak" >"$dir/gpu_peak.txt")
  cp "$dir/out.txt" "$rest/bench-$name.out.txt"; cp "$dir/err.txt" "$rest/bench-$name.err.txt"
  local reg total cr count
  reg=$(sed -n 's/.*registration time (without data read and write) used: \([0-9.]*\)s.*/\1/p' "$dir/out.txt")
  count=$(sed -n 's/.*global count is: \([0-9]*\).*/\1/p' "$dir/out.txt")
  cr=$(sed -n 's/.*total time for CR Calculation: \([0-9.]*\)s.*/\1/p' "$dir/out.txt")
  total=$(sed -n 's/.*total registration time used: \([0-9.]*\)s.*/\1/p' "$dir/out.txt")
  if [ -z "$reg" ]; then
    fail "registration $name on cuda did not finish (see bench-$name.err.txt)"
    return
  fi
  local goal="goal 0.1 s met"
  awk -v r="$reg" 'BEGIN { exit !(r > 0.1) }' && goal="over the 0.1 s goal"
  say "BENCH $name cuda: registration ${reg}s ($goal), cost evaluations ${cr}s, $count evaluations, whole command ${total}s"
  sed -n 's/^tarvo: \(level .*\)/BENCH   \1/p; s/^tarvo: \(cost set-up .*\)/BENCH   \1/p' "$dir/err.txt" |
    while IFS= read -r l; do say "$l"; done
  local rss gpu
  [ -f "$dir/time.txt" ] && rss=$(sed -n 's/.*Maximum resident set size (kbytes): \([0-9]*\).*/\1/p' "$dir/time.txt")
  gpu=$(cat "$dir/gpu_peak.txt" 2>/dev/null)
  local mem="BENCH   memory: host peak ${rss:-?} kB"
  if [ -n "$gpu" ]; then
    local g="goal 1 GB met"
    [ "$gpu" -gt 1024 ] && g="over the 1 GB goal, context included"
    mem="$mem, GPU peak ${gpu} MiB sampled by nvidia-smi, context and other processes included ($g)"
  fi
  say "$mem"
}

say "== 5. benchmarks (cuda)"
if ! have_pair "${t1_pair[@]}"; then
  skip "benchmarks: no real volumes in $data"
else
  # Per level: single and batched rates, set-up time, time per call at the search's own
  # batch sizes, device memory and the backend's peak against the 1 GB goal.
  if step "costbench" 40; then
    if TARVO_DEVICE=cuda timeout "$(limit 120)" "$bundle/costbench" "${t1_pair[@]}" >"$rest/costbench.txt" 2>&1; then
      pass "costbench on cuda (subject_t1_0.88mm against icbm2009_t1_1mm)"
      while IFS= read -r l; do say "BENCH   $l"; done <"$rest/costbench.txt"
    else
      fail "costbench on cuda (status $?, see costbench.txt)"
    fi
  fi
  bench_registration t1-0.88mm "${t1_pair[@]}"
  have_pair "${flair_pair[@]}" && bench_registration flair "${flair_pair[@]}"
  # Once more: the second run meets warm file caches and a warm driver.
  bench_registration t1-0.88mm-again "${t1_pair[@]}"
  if step "costbench, one matrix per block" 40; then
    TARVO_DEVICE=cuda TARVO_CUDA_MATRICES_PER_BLOCK=1 timeout "$(limit 120)" "$bundle/costbench" "${t1_pair[@]}" \
      >"$rest/costbench-one-matrix-per-block.txt" 2>&1 &&
      grep -E '^8mm  setup' "$rest/costbench-one-matrix-per-block.txt" | while IFS= read -r l; do
        say "BENCH   one matrix per block: $l"; done
  fi
fi

# ---- results -----------------------------------------------------------------------------
if [ $dry_run = 1 ]; then
  {
    echo "dry run of gpu-check: the steps above would run on a GPU machine with"
    echo "bundle: ${bundle:-none}; data: $data; deadline: $budget s; sanitizer filter: $filter"
  } >"$rest/plan.txt"
fi
say "== summary: $passed passed, $failed failed, $(( SECONDS )) s of ${budget} s"
tar -czf "$out/rest.tar.gz" -C "$rest" . 2>/dev/null || fail "could not pack rest.tar.gz"
[ "$failed" -eq 0 ]
