#!/usr/bin/env bash
# The system packages every build of ours needs, installed with apt-get
# where they are missing. Shared by .ci/run, tools/test_all.sh and
# tools/demo.sh, so the three never disagree about what a fresh machine
# lacks. Pass --with-test-tools for the test and fuzz toolchain too.
set -euo pipefail

packages=(g++ cmake ninja-build zlib1g-dev libdeflate-dev python3-venv)
# Readers of our HDF5 files outside Python: h5dump (the system's HDF5) and R's
# hdf5r, installed without recommended extras (about 20 s from a warm cache).
readers=()
if [ "${1:-}" = "--with-test-tools" ]; then
  packages+=(libgtest-dev clang)
  readers+=(hdf5-tools r-cran-hdf5r)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
missing_readers=()
for p in "${readers[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing_readers+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_readers[@]} -eq 0 ] && exit 0

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "== installing system packages: ${missing[*]} ${missing_readers[*]}"
$SUDO apt-get update || true
if [ ${#missing_readers[@]} -gt 0 ]; then
  $SUDO apt-get install -y --no-install-recommends "${missing_readers[@]}"
fi
[ ${#missing[@]} -eq 0 ] && exit 0
# clang only serves the fuzz smoke runs: carry on without it if it cannot be had.
$SUDO apt-get install -y "${missing[@]}" || {
  essential=()
  for p in "${missing[@]}"; do [ "$p" = clang ] || essential+=("$p"); done
  $SUDO apt-get install -y "${essential[@]}"
}
