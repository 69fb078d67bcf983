#!/usr/bin/env bash
# Builds the Python package with pip (as a user would: pip install .) into a virtual
# environment of its own, and runs its tests. PyPI packages that cannot be had: the tests
# are skipped with a message, not failed. The build folder build-py/ is kept between runs,
# so a second run only recompiles what changed.
#   TARVO_PY_CUDA=AUTO   also build the CUDA backend into the package (slow on two cores)
set -euo pipefail
cd "$(dirname "$0")/.."
venv=build-py/venv
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
if ! "${pip[@]}" install "nanobind>=2.0" "scikit-build-core>=0.10" numpy nibabel pytest; then
  echo "SKIP python tests: nanobind, scikit-build-core, numpy, nibabel or pytest cannot be installed from PyPI"
  exit 0
fi
# nipype is optional: its tests skip themselves without it.
"${pip[@]}" install nipype >/dev/null 2>&1 || echo "note: nipype cannot be installed; its tests will be skipped"
export PATH="$PATH:/usr/local/cuda/bin"
"${pip[@]}" install --no-build-isolation --no-deps . \
  -Cbuild-dir="build-py/{wheel_tag}" -Ccmake.define.TARVO_CUDA="${TARVO_PY_CUDA:-OFF}"
cd tests/python
TARVO_DEVICE=cpu "../../$venv/bin/python" -m pytest -q -rs
