#!/usr/bin/env bash
# Builds everything from a clean checkout and runs every test:
#   1. C++ tests (GoogleTest via ctest), release build, then once more with
#      VANTORESK_DISABLE_SIMD=1 so the portable path is checked everywhere
#   2. the same tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   3. when clang is available: a replay of the committed fuzz corpora, then
#      libFuzzer smoke runs (the ctest runs above replay them without clang)
#   4. the Python tests (pytest) against one wheel built here: NumPy 2.x with
#      every optional extra (again with the SIMD mask), then NumPy 1.26
#   5. the storage tests under a second Python (3.12 or newer) when one is
#      installed, since zarr and hdmf-zarr resolve to other releases there
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

tools/install_system_packages.sh --with-test-tools

PY=${PYTHON:-python3}
VENV="$ROOT/.venv-test"
[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q cmake ninja "numpy>=2" pytest hypothesis
export PATH="$VENV/bin:$PATH"

echo "== C++ tests (release)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTORESK_BUILD_PYTHON=OFF
cmake --build build/release -j "$JOBS"
ctest --test-dir build/release --output-on-failure -j "$JOBS"

echo "== C++ tests (release, portable path only)"
VANTORESK_DISABLE_SIMD=1 ctest --test-dir build/release --output-on-failure -j "$JOBS"

echo "== C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
# Unmasked: the vector paths run under the sanitizers, and so do the portable
# variants, which the variant tests run by name beside them.
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORESK_SANITIZE=ON \
      -DVANTORESK_BUILD_PYTHON=OFF -DVANTORESK_BUILD_BENCH=OFF
cmake --build build/asan -j "$JOBS"
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS"

# A clang without libFuzzer's runtime skips this stage (the ctest runs above
# replay the corpora anyway); a clang that has it must build our targets, so
# a build break here fails the run instead of passing as a skip.
fuzz_probe=$(mktemp -d)
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  > "$fuzz_probe/probe.cpp"
if command -v clang++ >/dev/null && ls fuzz/*.cpp >/dev/null 2>&1 \
   && clang++ -fsanitize=fuzzer,address "$fuzz_probe/probe.cpp" -o "$fuzz_probe/probe" 2>/dev/null; then
  echo "== libFuzzer smoke runs"
  CXX=clang++ CC=clang cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORESK_FUZZ=ON \
    -DVANTORESK_BUILD_TESTS=OFF -DVANTORESK_BUILD_BENCH=OFF -DVANTORESK_BUILD_PYTHON=OFF
  cmake --build build/fuzz -j "$JOBS"
  {
    for f in fuzz/*.cpp; do
      name=$(basename "$f" .cpp)
      committed="fuzz/corpus/$name"
      # Every committed corpus input once, under the fuzzing build's
      # sanitizers: findings that were fixed stay fixed.
      if [ -d "$committed" ]; then
        ASAN_OPTIONS=allocator_may_return_null=1 "build/fuzz/$name" -runs=0 -rss_limit_mb=4096 "$committed"
      else
        committed=""
      fi
      # Then a short run from that corpus and small valid inputs of its kind,
      # so the fuzzer starts past the header checks instead of rediscovering
      # the format. New inputs go to a scratch directory, not the repository.
      corpus=$(mktemp -d)
      case "$name" in
        codec_*) find tests/fixtures/codec/containers -size -4k -exec cp {} "$corpus" \; ;;
        arans_*) find tests/fixtures/arans -name '*.stream' -size -4k -exec cp {} "$corpus" \; ;;
      esac
      ASAN_OPTIONS=allocator_may_return_null=1 "build/fuzz/$name" "$corpus" $committed -max_total_time=15 \
        -max_len=8192 -rss_limit_mb=4096 -print_final_stats=0
      rm -rf "$corpus"
    done
  }
else
  echo "(no clang with libFuzzer here: fuzz smoke runs skipped; ctest replayed the corpora)"
fi
rm -rf "$fuzz_probe"

# Python suites by directory: the extension's own tests at the top, the
# companion packages' tests in subfolders that need their extras.
CORE_ONLY=(--ignore=storage --ignore=archive --ignore=bench --ignore=view --ignore=tools --ignore=hdf5)
EXTRAS="test,zarr,nwb,archive,analysis,s3,bench,view,hdf5"

echo "== building the wheel"
WHEEL_DIR="$ROOT/build/wheel"
rm -rf "$WHEEL_DIR"
"$VENV/bin/python" -m pip wheel -q --no-deps -w "$WHEEL_DIR" .
WHEEL=$(ls "$WHEEL_DIR"/vantoresk-*.whl)

echo "== Python tests (NumPy 2.x, every extra)"
"$VENV/bin/python" -m pip install -q --force-reinstall --no-deps "$WHEEL"
"$VENV/bin/python" -m pip install -q "$WHEEL[$EXTRAS]"
# The HDF5 tests read our files with h5dump and R as well: those were installed
# above, so here a missing one is a failure, not a skip.
(cd tests/python && VANTORESK_REQUIRE_TOOLS=1 "$VENV/bin/python" -m pytest -q -p no:cacheprovider .)

echo "== Python tests (NumPy 2.x, portable path only)"
(cd tests/python && VANTORESK_DISABLE_SIMD=1 "$VENV/bin/python" -m pytest -q -p no:cacheprovider "${CORE_ONLY[@]}" .)

echo "== Python tests (NumPy 1.26)"
VENV1="$ROOT/.venv-test-np1"
[ -x "$VENV1/bin/python" ] || "$PY" -m venv "$VENV1"
"$VENV1/bin/python" -m pip install -q --upgrade pip
"$VENV1/bin/python" -m pip install -q "numpy==1.26.*" pytest hypothesis
# The wheel was compiled against NumPy 2 headers, which keep ABI
# compatibility with 1.x; install it as is.
"$VENV1/bin/python" -m pip install -q --force-reinstall --no-deps "$WHEEL"
(cd tests/python && "$VENV1/bin/python" -m pytest -q -p no:cacheprovider "${CORE_ONLY[@]}" .)

# zarr, numcodecs and hdmf-zarr resolve to newer releases on Python 3.12+
# (zarr 3.4 against 3.1 on 3.11): run the storage tests there too.
PY_NEW=""
for v in 3.12 3.13; do
  # pyenv's shims answer `command -v` for versions that are not active, so
  # take the interpreter only if it really runs.
  for cand in "$HOME/.pyenv/versions/$v"*/bin/python "python$v"; do
    if "$cand" -c "import venv" >/dev/null 2>&1; then PY_NEW=$(command -v "$cand"); break 2; fi
  done
done
if [ -n "$PY_NEW" ] && [ -d tests/python/storage ]; then
  echo "== storage tests under $("$PY_NEW" --version)"
  VENV3="$ROOT/.venv-test-py3new"
  [ -x "$VENV3/bin/python" ] || "$PY_NEW" -m venv "$VENV3"
  "$VENV3/bin/python" -m pip install -q --upgrade pip
  "$VENV3/bin/python" -m pip install -q ".[test,zarr,nwb]"
  (cd tests/python && "$VENV3/bin/python" -m pytest -q -p no:cacheprovider storage)
elif [ -d tests/python/storage ]; then
  echo "(no Python 3.12 or newer found: storage tests ran under $("$PY" --version) only)"
fi

echo "== all tests passed"
