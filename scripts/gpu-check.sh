#!/usr/bin/env bash
# Checks the CUDA backend on a GPU machine with binaries built elsewhere
# (scripts/build-gpu-bundle.sh): the GPU tests, then whole commands run on both backends
# (TARVO_DEVICE=cpu and TARVO_DEVICE=cuda) and compared. Builds nothing.
#
# Usage: scripts/gpu-check.sh [bundle-dir]      (default .gpu/, from the current folder)
# Real volumes are taken from bundle-dir/data, else $TARVO_DATA, else ../shared/data, when
# present.
# Results: a short summary on standard output; the GPU tests' XML report, the summary and
# the command logs go to $OUT when it is set (else to a temporary folder, removed at the end).
# Exit status: 0 when every check passed, 1 otherwise. Every step runs under `timeout`; the
# whole check takes a few minutes.
set -uo pipefail

bundle=$(cd "${1:-.gpu}" 2>/dev/null && pwd) || { echo "gpu-check: no bundle folder '${1:-.gpu}'" >&2; exit 1; }
for b in tarvo phantom tarvo_gpu_tests imgcmp; do
  [ -x "$bundle/$b" ] || { echo "gpu-check: $bundle/$b missing (run scripts/build-gpu-bundle.sh)" >&2; exit 1; }
done
if [ -d "$bundle/data" ]; then data=$bundle/data; else data=${TARVO_DATA:-$(pwd)/../shared/data}; fi

work=$(mktemp -d)
if [ -n "${OUT:-}" ]; then
  report=$OUT
  mkdir -p "$report"
  trap 'rm -rf "$work"' EXIT
else
  report=$work/report
  mkdir -p "$report"
  trap 'rm -rf "$work"' EXIT
fi
export FSLOUTPUTTYPE=NIFTI
summary=$report/summary.txt
: >"$summary"
log=$report/commands.log
: >"$log"
passed=0
failed=0

say() { echo "$*" | tee -a "$summary"; }
pass() { passed=$((passed + 1)); say "PASS  $*"; }
fail() { failed=$((failed + 1)); say "FAIL  $*"; }

# Seconds of one command (at most 120), its output appended to the log.
timed() {
  local t0 t1
  t0=$(date +%s.%N)
  timeout 120 "$@" >>"$log" 2>&1
  local rc=$?
  t1=$(date +%s.%N)
  elapsed=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  return $rc
}

say "== gpu-check $(date -u '+%F %T') UTC"
say "bundle: $bundle"
if command -v nvidia-smi >/dev/null 2>&1; then
  say "gpu: $(nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader | head -1)"
fi

# ---- 1. GPU tests ------------------------------------------------------------------------
say "== GPU tests"
timeout 240 "$bundle/tarvo_gpu_tests" --gtest_output="xml:$report/gpu-tests.xml" >"$report/gpu-tests.log" 2>&1
rc=$?
tests_line=$(grep -E '^\[  (PASSED|FAILED)  \]|^\[  SKIPPED \] [0-9]' "$report/gpu-tests.log" | tr '\n' ' ')
if grep -q '^\[  SKIPPED \] [0-9]' "$report/gpu-tests.log"; then
  fail "tarvo_gpu_tests: tests skipped on a GPU machine: $tests_line"
elif [ $rc -eq 0 ]; then
  pass "tarvo_gpu_tests: $tests_line"
else
  fail "tarvo_gpu_tests (status $rc): $tests_line"
  grep -E '^\[  FAILED  \] [A-Za-z]|Failure|error' "$report/gpu-tests.log" | head -20 | tee -a "$summary"
fi

# ---- 2. volumes to compare on -----------------------------------------------------------
say "== test volumes"
timeout 60 "$bundle/phantom" --out "$work/ph_t1.nii" --contrast t1 --grid 128 150 120 --voxel 1.2 1.2 1.2 \
  --datatype 16 --noise 2 --seed 1 >>"$log" 2>&1
timeout 60 "$bundle/phantom" --out "$work/ph_t2.nii" --contrast t2 --grid 128 150 120 --voxel 1.2 1.2 1.2 \
  --datatype 16 --noise 2 --seed 2 --affine 8 -6 10 5 -4 3 1.03 0.98 1.01 0 0 0 >>"$log" 2>&1
timeout 60 "$bundle/phantom" --out "$work/ph_u8.nii" --contrast t1 --grid 97 115 93 --voxel 2 2 2 \
  --datatype 2 --noise 3 --seed 3 >>"$log" 2>&1
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

# ---- 3. commands on both backends -------------------------------------------------------
# One image command on both backends ("-o" and the output name are appended), the two
# outputs compared in stored values.
compare_image_command() {
  local name=$1
  shift
  local cpu_t gpu_t
  if ! TARVO_DEVICE=cpu timed "$bundle/tarvo" "$@" -o "$work/cpu.nii"; then
    fail "$name: cpu run failed"; return
  fi
  cpu_t=$elapsed
  if ! TARVO_DEVICE=cuda timed "$bundle/tarvo" "$@" -o "$work/gpu.nii"; then
    fail "$name: cuda run failed (see commands.log)"; return
  fi
  gpu_t=$elapsed
  local diff
  diff=$("$bundle/imgcmp" "$work/cpu.nii" "$work/gpu.nii")
  local rc=$?
  if [ $rc -eq 0 ]; then pass "$name: $diff (cpu ${cpu_t}s, cuda ${gpu_t}s)"; else fail "$name: $diff"; fi
  rm -f "$work/cpu.nii" "$work/gpu.nii"
}

# Runs "-c" on one backend; sets cost (the printed value) and elapsed.
cost_on() {
  TARVO_DEVICE=$1 timed "$bundle/tarvo" -c "$2" "$3" || return 1
  cost=$(tail -3 "$log" | sed -n 's/^CorrelationRatio is: //p' | tail -1)
  [ -n "$cost" ]
}

say "== commands, cpu vs cuda"
for v in "${volumes[@]}"; do
  short=$(basename "$v")
  compare_image_command "-d $short" -d "$v"
  compare_image_command "-i $short 1.3 1.3 1.3" -i "$v" 1.3 1.3 1.3
  compare_image_command "-i $short 2 2.5 3" -i "$v" 2 2.5 3
done

for p in "${pairs[@]}"; do
  s=${p%%:*} r=${p##*:}
  name="-c $(basename "$s") $(basename "$r")"
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

# ---- 4. hooks for later checks ----------------------------------------------------------
# >>> HOOK: benchmarks. Kernel-only, kernel-with-copies and whole-command timings on the
# GPU (bench/*.sh run against the bundle's binaries) go here; print one line per figure
# with say, and count a regression with fail.
# Figures only: a slow run is reported against the goals (a registration within 0.1 s,
# GPU memory within 1 GB), not failed; a benchmark that does not run is a failure.
t1_pair=("$data/subject_t1_0.88mm.nii.gz" "$data/icbm2009_t1_1mm.nii.gz")
flair_pair=("$data/subject_flair_1mm.nii.gz" "$data/icbm2009_t1_1mm.nii.gz")
have_pair() { [ -f "$1" ] && [ -f "$2" ]; }

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

# One "-r" on the GPU in its own folder ($1), with TARVO_VERBOSE=1 and, where present,
# /usr/bin/time -v; the figures go to the summary.
bench_registration() {
  local name=$1 src=$2 ref=$3 dir=$work/bench_$1
  mkdir -p "$dir"
  local timer=()
  [ -x /usr/bin/time ] && timer=(/usr/bin/time -v -o "$dir/time.txt")
  (cd "$dir" && with_gpu_sampling env TARVO_DEVICE=cuda TARVO_VERBOSE=1 timeout 120 \
     ${timer[@]+"${timer[@]}"} "$bundle/tarvo" -r "$src" "$ref" -o "$dir/out.nii" >"$dir/out.txt" 2>"$dir/err.txt"
   echo "$gpu_peak" >"$dir/gpu_peak.txt")
  cp "$dir/out.txt" "$report/bench-$name.out.txt"; cp "$dir/err.txt" "$report/bench-$name.err.txt"
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
  sed -n 's/^tarvo: \(level .*\)/BENCH   \1/p; s/^tarvo: \(cost set-up .*\)/BENCH   \1/p' "$dir/err.txt" | while IFS= read -r l; do say "$l"; done
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

run_benchmarks() {
  say "== benchmarks (cuda)"
  if ! have_pair "${t1_pair[@]}"; then
    say "benchmarks: no real volumes in $data, skipped"
    return
  fi
  if [ -x "$bundle/costbench" ]; then
    # Per level: single and batched rates, set-up time, time per call at the search's own
    # batch sizes, device memory; then the 8 mm batches again with one matrix per block.
    if TARVO_DEVICE=cuda timeout 120 "$bundle/costbench" "${t1_pair[@]}" >"$report/costbench.txt" 2>&1; then
      pass "costbench on cuda (subject_t1_0.88mm against icbm2009_t1_1mm)"
      while IFS= read -r l; do say "BENCH   $l"; done <"$report/costbench.txt"
    else
      fail "costbench on cuda (status $?, see costbench.txt)"
    fi
    if TARVO_DEVICE=cuda TARVO_CUDA_MATRICES_PER_BLOCK=1 timeout 120 "$bundle/costbench" "${t1_pair[@]}" \
        >"$report/costbench-one-matrix-per-block.txt" 2>&1; then
      grep -E '^8mm  setup' "$report/costbench-one-matrix-per-block.txt" | while IFS= read -r l; do
        say "BENCH   one matrix per block: $l"; done
    fi
  else
    fail "costbench missing from the bundle"
  fi
  bench_registration t1-0.88mm "${t1_pair[@]}"
  have_pair "${flair_pair[@]}" && bench_registration flair "${flair_pair[@]}"
  # Once more each: the second run meets warm file caches and a warm driver.
  bench_registration t1-0.88mm-again "${t1_pair[@]}"
  have_pair "${flair_pair[@]}" && bench_registration flair-again "${flair_pair[@]}"
}
# <<< HOOK: benchmarks

# >>> HOOK: registrations. "-r" on both backends (phantom pairs moved by known affines,
# and the real volumes): compare the printed parameters within the search tolerances and
# the recovered transforms with xfdist; report with pass/fail.
# The final "12 DOF 1mm" costs must agree within 1e-3; the parameters are reported side by
# side. The search takes discrete steps (grid points, accepted moves), so the two backends
# may go different ways from a tiny cost difference: that is said, not failed, when the
# final costs still agree.

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

compare_registration() {
  local name=$1 src=$2 ref=$3
  local d dev
  for dev in cpu cuda; do
    d=$work/reg_${name}_$dev
    mkdir -p "$d"
    if ! (cd "$d" && TARVO_DEVICE=$dev TARVO_VERBOSE=1 timeout 180 "$bundle/tarvo" -r "$src" "$ref" \
          -o "$d/out.nii" >"$d/out.txt" 2>"$d/err.txt"); then
      fail "-r $name on $dev did not finish (see reg-$name-$dev.txt)"
      cp "$d/out.txt" "$report/reg-$name-$dev.txt" 2>/dev/null
      return
    fi
    cp "$d/out.txt" "$report/reg-$name-$dev.txt"
  done
  local c g
  c=$(final_numbers "$work/reg_${name}_cpu/out.txt")
  g=$(final_numbers "$work/reg_${name}_cuda/out.txt")
  local verdict
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
  local evals
  evals=$(for dev in cpu cuda; do
            sed -n 's/^tarvo: level \([0-9]*mm\): \([0-9]*\) evaluations.*/\1 \2/p' "$work/reg_${name}_$dev/err.txt" | tr '\n' ' '
            echo -n "| "; done)
  say "  $name search: $path; evaluations per level cpu | cuda: $evals"
  case $verdict in
    ok*) pass "-r $name: final costs agree within 1e-3; largest differences: ${verdict#ok }" ;;
    bad*) fail "-r $name: final costs differ by more than 1e-3; ${verdict#bad }" ;;
    *) fail "-r $name: no final '12 DOF 1mm' line to compare (see reg-$name-*.txt)" ;;
  esac
}

run_registration_comparisons() {
  say "== registrations, cpu vs cuda"
  local any=0
  if have_pair "${t1_pair[@]}"; then compare_registration t1-0.88mm "${t1_pair[@]}"; any=1; fi
  if have_pair "${flair_pair[@]}"; then compare_registration flair "${flair_pair[@]}"; any=1; fi
  [ $any -eq 1 ] || say "registrations: no real volumes in $data, skipped"
}
# <<< HOOK: registrations

run_benchmarks
run_registration_comparisons

say "== summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
