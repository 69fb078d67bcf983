#!/usr/bin/env bash
# The GPU check's plumbing, without a GPU: the dry run's files and steps, a bundle that
# lacks a program, the failed assertions' values reaching the summary, and the deadline.
set -u
check=$(cd "$(dirname "$0")/../../.." && pwd)/scripts/gpu-check.sh
fail=0
bad() { echo "FAIL: $*"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

# A bundle of stand-ins: the dry run only looks for the programs.
mkdir -p "$tmp/bundle"
for b in tarvo phantom tarvo_gpu_tests imgcmp texprobe costbench; do
  printf '#!/bin/sh\necho "%s ran" >>"%s/ran"\n' "$b" "$tmp" >"$tmp/bundle/$b"
  chmod +x "$tmp/bundle/$b"
done

OUT=$tmp/out GPU_CHECK_SECONDS=300 bash "$check" --dry-run "$tmp/bundle" >"$tmp/stdout" 2>&1
rc=$?
[ $rc -eq 0 ] || bad "dry run ended with status $rc: $(cat "$tmp/stdout")"
[ -e "$tmp/ran" ] && bad "a dry run ran bundle programs: $(cat "$tmp/ran")"
files=$(cd "$tmp/out" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "./gpu-tests.log ./rest.tar.gz ./summary.txt " ] || bad "files under OUT: $files"
for s in "texprobe: dry run" "GPU tests: dry run" "compute-sanitizer racecheck: dry run" \
         "compute-sanitizer synccheck: dry run" "batch of 20 on cuda: dry run" "TARVO_TEXTURE_RULES=floor,even"; do
  grep -q "$s" "$tmp/out/summary.txt" || bad "summary lacks '$s'"
done
grep -q "== summary: 0 passed, 0 failed" "$tmp/out/summary.txt" || bad "summary: $(tail -1 "$tmp/out/summary.txt")"
tar -tzf "$tmp/out/rest.tar.gz" | grep -q plan.txt || bad "the archive lacks plan.txt"
cmp -s "$tmp/stdout" "$tmp/out/summary.txt" || bad "standard output is not the summary"

# A bundle without the probe fails the dry run, and says what is missing.
rm "$tmp/bundle/texprobe"
OUT=$tmp/out2 bash "$check" --dry-run "$tmp/bundle" >/dev/null 2>&1 && bad "a bundle without texprobe passed"
grep -q "FAIL  bundle lacks texprobe" "$tmp/out2/summary.txt" || bad "missing program not named"

# The helpers, sourced: the values of a failing assertion reach the summary, passing
# tests add nothing, and a step that no longer fits the deadline is skipped with a line.
cat >"$tmp/gtest.log" <<'LOG'
[ RUN      ] CudaVsCpu.TransformVolumeMatches
[       OK ] CudaVsCpu.TransformVolumeMatches (12 ms)
[ RUN      ] CudaVsCpu.CostsMatchAtEveryBinCount
/src/tests/device/gpu/test_cuda_backend.cpp:306: Failure
The difference between g[i] and k[i] is 0.00061, which exceeds 1e-4f, where
g[i] evaluates to 0.41234,
k[i] evaluates to 0.41173, and
1e-4f evaluates to 9.9999997e-05.
bins 64 voxel 4 matrix 7
[  FAILED  ] CudaVsCpu.CostsMatchAtEveryBinCount (40 ms)
[  FAILED  ] 1 test, listed below:
LOG
(
  source "$check"
  details=$(failure_details "$tmp/gtest.log")
  echo "$details" | grep -q "g\[i\] evaluates to 0.41234" || echo "FAIL: assertion values lost: $details"
  echo "$details" | grep -q "bins 64 voxel 4 matrix 7" || echo "FAIL: assertion message lost: $details"
  echo "$details" | grep -q "TransformVolumeMatches\|FAILED" && echo "FAIL: more than the failure: $details"
  summary=$tmp/sourced.txt dry_run=0 margin=15 deadline=$((SECONDS + 40)) passed=0 failed=0
  step "early" 20 || echo "FAIL: a step that fits was skipped"
  step "late" 30 && echo "FAIL: a step past the deadline ran"
  grep -q "SKIP  late: [0-9]* s left of the deadline, needs 30 s" "$summary" || echo "FAIL: skip line: $(cat "$summary")"
  [ "$(limit 600)" -le 25 ] || echo "FAIL: a command may outlast the deadline: $(limit 600)"
) >"$tmp/sourced" 2>&1
grep -q FAIL "$tmp/sourced" && { cat "$tmp/sourced"; fail=1; }

exit $fail
