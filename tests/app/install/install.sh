#!/usr/bin/env bash
# cmake --install puts the program and its tools under the prefix it is given, and the
# installed program runs from there (its libraries are linked in, or found where they were).
#   install.sh CMAKE BUILD_DIR VERSION
set -euo pipefail
cmake=$1 build=$2 version=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
bindir=$(sed -n 's/^CMAKE_INSTALL_BINDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
for tool in tarvo phantom imgcmp xfdist qcpng; do
  if [ ! -x "$prefix/${bindir:-bin}/$tool" ]; then
    echo "FAIL: $tool is not installed in $prefix/${bindir:-bin}"
    find "$prefix"
    exit 1
  fi
done
# Nothing but the programs: no tests, benchmarks or libraries go with them.
extra=$(find "$prefix" -type f | grep -v -E "/${bindir:-bin}/(tarvo|phantom|imgcmp|xfdist|qcpng)$" || true)
if [ -n "$extra" ]; then
  echo "FAIL: installed besides the programs:"
  echo "$extra"
  exit 1
fi
out=$("$prefix/${bindir:-bin}/tarvo" --version)
if [ "$out" != "tarvo $version" ]; then
  echo "FAIL: the installed tarvo --version says '$out', not 'tarvo $version'"
  exit 1
fi
# The installed program does work, not only print its version.
cd "$prefix"
"$prefix/${bindir:-bin}/phantom" --out p.nii.gz --grid 24 24 24 --voxel 4 4 4 >/dev/null
"$prefix/${bindir:-bin}/tarvo" -d p.nii.gz x half.nii >/dev/null
[ -s half.nii ] || { echo "FAIL: the installed tarvo -d wrote nothing"; exit 1; }
echo "ok: installed into $prefix"
