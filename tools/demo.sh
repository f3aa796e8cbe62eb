#!/usr/bin/env bash
# The main job: build and install the vantoresk module into its own virtual
# environment, then compress one minute of a real ECG recording with every
# wavelet at several scales and print ratio, distortion and speed
# (examples/demo.py). With matplotlib it also writes examples/demo.png.
#
# Works on a fresh Debian/Ubuntu machine: missing compilers and headers are
# installed with apt-get first (tools/install_system_packages.sh, which waits
# a while for the package manager's lock when another process holds it, then
# says which process that was). Set PYTHON to choose the interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=${PYTHON:-python3}

tools/install_system_packages.sh

VENV="$ROOT/.venv-demo"
[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
echo "== building and installing vantoresk"
"$VENV/bin/python" -m pip install -q .
# The plot is optional: the table is the result, so carry on without it.
"$VENV/bin/python" -m pip install -q matplotlib || echo "(matplotlib unavailable: the demo will skip the plot)"

echo "== demo"
cd "$ROOT"
exec "$VENV/bin/python" examples/demo.py "$@"
