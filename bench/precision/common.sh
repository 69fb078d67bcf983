# Shared by the precision benchmarks (sourced, not run): the recipe cases and ANTs' venv.

# recipe_cases PY FIXED WORK KINDS: the recipe cases of KINDS (seed SEED, default 24) in
# WORK/cases, made once per seed and kind list.
recipe_cases() {
  local py=$1 fixed=$2 work=$3 kinds=$4
  local stamp="$work/cases/.done-${SEED:-24}-$kinds"
  mkdir -p "$work/cases"
  [ -f "$stamp" ] ||
    { "$py" bench/precision/recipe_cases.py "$fixed" "$work/cases" --seed "${SEED:-24}" --cases "$kinds" >/dev/null &&
      touch "$stamp"; }
}

# ants_venv PY VENV WHAT: sets ants=1 when antspyx can be imported in VENV (made with pip
# when missing), else ants=0 with a message that the WHAT (rows, column) go without ANTs.
# NO_ANTS=1 skips it.
ants_venv() {
  local py=$1 venv=$2
  ants=0
  [ "${NO_ANTS:-0}" != 1 ] || return 0
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -c "import ants" 2>/dev/null || "$venv/bin/pip" install -q antspyx >/dev/null 2>&1 || true
  if "$venv/bin/python" -c "import ants" 2>/dev/null; then ants=1; else echo "antspyx cannot be installed: no ANTs $3"; fi
}
