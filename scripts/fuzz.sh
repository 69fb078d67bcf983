#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang into build-fuzz/ and runs each one for
# SECONDS (default 30), one after another. Exits non-zero when any target finds a crash, a
# sanitizer report, a hang (over 10 s on one input) or an out-of-memory (over 2 GB); the
# input that did it is kept under build-fuzz/findings/ and its path is printed.
#   scripts/fuzz.sh [SECONDS]
# New corpus entries go to build-fuzz/corpus/<target>/; the committed seeds in
# fuzz/corpus/<target>/ are only read.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
targets=(fuzz_image fuzz_worldmatrix fuzz_batchlist fuzz_classictext)

bash scripts/setup.sh

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
install() {
  echo "fuzz: installing $*" >&2
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
command -v clang++ >/dev/null || install clang
# Source lines in the reports of a finding.
command -v llvm-symbolizer >/dev/null || install llvm
# libFuzzer's runtime comes in a package of its own on Debian (libclang-rt-N-dev).
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer,address "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  major=$(clang++ -dumpversion | cut -d. -f1)
  install "libclang-rt-$major-dev"
  clang++ -fsanitize=fuzzer,address "$probe/p.cpp" -o "$probe/p"
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTARVO_CUDA=OFF -DTARVO_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

findings=build-fuzz/findings
mkdir -p "$findings"
failed=0
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  log=build-fuzz/$t.log
  mkdir -p "$corpus"
  rm -f "$findings/$t"-*
  # -close_fd_mask=3: the code's own messages stay out of the log; reports still get there.
  rc=0
  "build-fuzz/fuzz/$t" "$corpus" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$findings/$t-" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(ls "$findings/$t"-* 2>/dev/null || true)
  if [ "$rc" -ne 0 ] || [ -n "$found" ]; then
    failed=1
    echo "$t: FINDING after ${execs:-?} executions (status $rc); log $log"
    grep -E '^(==[0-9]+== ?ERROR|SUMMARY)|runtime error' "$log" | head -5 | sed 's/^/  /' || true
    for f in $found; do echo "  input: $f (reproduce: build-fuzz/fuzz/$t $f)"; done
  else
    echo "$t: ok, ${execs:-?} executions in ${seconds} s"
  fi
done
exit "$failed"
