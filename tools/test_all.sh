#!/usr/bin/env bash
# Builds everything from a clean checkout and runs every test:
#   1. C++ tests (GoogleTest via ctest), release build
#   2. the same tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   3. libFuzzer smoke runs when clang is available
#   4. the Python tests (pytest) against the installed module, with the
#      current NumPy 2.x and with NumPy 1.26
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
[ -f /usr/include/zlib.h ] || need_apt+=(zlib1g-dev)
command -v g++ >/dev/null || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get install -y "${need_apt[@]}" || { $SUDO apt-get update && $SUDO apt-get install -y "${need_apt[@]}"; }
fi

PY=${PYTHON:-python3}
VENV="$ROOT/.venv-test"
if [ ! -x "$VENV/bin/python" ]; then
  "$PY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q cmake ninja "numpy>=2" pytest hypothesis
export PATH="$VENV/bin:$PATH"

echo "== C++ tests (release)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTORESK_BUILD_PYTHON=OFF
cmake --build build/release -j "$JOBS"
ctest --test-dir build/release --output-on-failure -j "$JOBS"

echo "== C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
# This build also compiles the portable fallbacks in place of inline assembly,
# so both are exercised by the same tests.
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORESK_SANITIZE=ON \
      -DVANTORESK_PORTABLE_ONLY=ON -DVANTORESK_BUILD_PYTHON=OFF -DVANTORESK_BUILD_BENCH=OFF
cmake --build build/asan -j "$JOBS"
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS"

if command -v clang++ >/dev/null && ls fuzz/*.cpp >/dev/null 2>&1; then
  echo "== libFuzzer smoke runs"
  if CXX=clang++ CC=clang cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORESK_FUZZ=ON \
       -DVANTORESK_BUILD_TESTS=OFF -DVANTORESK_BUILD_BENCH=OFF -DVANTORESK_BUILD_PYTHON=OFF \
     && cmake --build build/fuzz -j "$JOBS"; then
    for f in fuzz/*.cpp; do
      name=$(basename "$f" .cpp)
      # Seed each run with small valid inputs of its kind, so the fuzzer
      # starts past the header checks instead of rediscovering the format.
      corpus=$(mktemp -d)
      case "$name" in
        codec_*) find tests/fixtures/codec/containers -size -4k -exec cp {} "$corpus" \; ;;
        arans_*) find tests/fixtures/arans -name '*.stream' -size -4k -exec cp {} "$corpus" \; ;;
      esac
      ASAN_OPTIONS=allocator_may_return_null=1 "build/fuzz/$name" "$corpus" -max_total_time=15 -max_len=8192 \
        -rss_limit_mb=4096 -print_final_stats=0
      rm -rf "$corpus"
    done
  else
    echo "(clang present but libFuzzer could not be built here; skipping fuzz smoke runs)"
  fi
fi

if [ -f python/module.cpp ]; then
  echo "== Python tests (NumPy 2.x)"
  "$VENV/bin/python" -m pip install -q ".[test]"
  (cd tests/python && "$VENV/bin/python" -m pytest -q -p no:cacheprovider .)

  echo "== Python tests (NumPy 1.26)"
  VENV1="$ROOT/.venv-test-np1"
  [ -x "$VENV1/bin/python" ] || "$PY" -m venv "$VENV1"
  "$VENV1/bin/python" -m pip install -q --upgrade pip
  "$VENV1/bin/python" -m pip install -q "numpy==1.26.*" pytest hypothesis
  # The wheel built above was compiled against NumPy 2 headers, which keep
  # ABI compatibility with 1.x; install it as is.
  WHEEL_DIR=$(mktemp -d)
  "$VENV/bin/python" -m pip wheel -q --no-deps -w "$WHEEL_DIR" .
  "$VENV1/bin/python" -m pip install -q --force-reinstall --no-deps "$WHEEL_DIR"/vantoresk-*.whl
  (cd tests/python && "$VENV1/bin/python" -m pytest -q -p no:cacheprovider .)
  rm -rf "$WHEEL_DIR"
fi

echo "== all tests passed"
