#!/usr/bin/env bash
# Installs what building and testing tarvo needs from Debian's packages. Idempotent, and
# silent when everything is already there. The CUDA backend is built when nvcc is present
# (the CUDA toolkit is not a Debian package here); without it the CPU-only build works.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config libniftiio-dev libnifti2-dev libznz-dev zlib1g-dev libpng-dev libgtest-dev libgmock-dev libcli11-dev python3-nibabel python3-scipy python3-venv libnlopt-dev slurm-wlm munge)
# The report page's test opens it in headless Chromium; where these cannot be installed
# the rest still is, and that test skips.
optional=(chromium chromium-driver python3-selenium)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
missingOptional=()
for p in "${optional[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missingOptional+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && [ ${#missingOptional[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]} ${missingOptional[*]}" >&2
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
[ ${#missing[@]} -eq 0 ] || $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
if [ ${#missingOptional[@]} -gt 0 ] &&
   ! $SUDO apt-get install -y -qq --no-install-recommends "${missingOptional[@]}" >/dev/null; then
  echo "setup: could not install ${missingOptional[*]}: the report page's browser test will skip" >&2
fi
