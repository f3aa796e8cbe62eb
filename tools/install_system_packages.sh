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
  # chromium-headless-shell: the browser the viewer's end-to-end tests drive.
  packages+=(libgtest-dev clang chromium-headless-shell)
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

# apt-get, waiting while another process holds the package manager's lock
# (on a fresh cloud machine the boot-time upgrades often do, for minutes):
# up to VANTORESK_APT_LOCK_WAIT seconds (default 600), then stop and say who
# held it (status 75). Any other failure is apt-get's own, passed on at once.
apt_get() {
  local waited=0 limit=${VANTORESK_APT_LOCK_WAIT:-600} pause=${VANTORESK_APT_LOCK_PAUSE:-5}
  local err status holder
  err=$(mktemp)
  while :; do
    status=0
    $SUDO apt-get "$@" 2>"$err" || status=$?
    if [ "$status" -eq 0 ] || ! grep -qE 'Could not get lock|Unable to acquire|Unable to lock' "$err"; then
      cat "$err" >&2
      rm -f "$err"
      return "$status"
    fi
    holder=$(grep -oE 'held by process [0-9]+( \([^)]*\))?' "$err" | head -n 1 || true)
    holder=${holder:-"another process"}
    if [ "$waited" -ge "$limit" ]; then
      echo "error: the package manager's lock was still taken after ${waited}s (${holder#held by }); run this again when it is free" >&2
      rm -f "$err"
      return 75
    fi
    [ "$waited" -gt 0 ] || echo "== waiting for the package manager's lock (${holder#held by })"
    sleep "$pause"
    waited=$((waited + pause))
  done
}

echo "== installing system packages: ${missing[*]} ${missing_readers[*]}"
apt_get update || { status=$?; [ "$status" -ne 75 ] || exit 1; }
if [ ${#missing_readers[@]} -gt 0 ]; then
  apt_get install -y --no-install-recommends "${missing_readers[@]}" || exit 1
fi
[ ${#missing[@]} -eq 0 ] && exit 0
# clang only serves the fuzz smoke runs: carry on without it if it cannot be had.
apt_get install -y "${missing[@]}" || {
  status=$?; [ "$status" -ne 75 ] || exit 1
  essential=()
  for p in "${missing[@]}"; do [ "$p" = clang ] || essential+=("$p"); done
  apt_get install -y "${essential[@]}" || exit 1
}
