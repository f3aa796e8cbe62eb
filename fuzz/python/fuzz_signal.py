#!/usr/bin/env python3
r"""Python-level fuzzer (atheris) over the extension module's entry points.

    python fuzz/python/fuzz_signal.py decompress CORPUS_DIR [SEED_DIR...] [atheris/libFuzzer flags]
    python fuzz/python/fuzz_signal.py roundtrip CORPUS_DIR [SEED_DIR...] [flags]

`decompress` hands arbitrary bytes to decompress_signal; `roundtrip`
decodes options and samples from the bytes and compresses then decompresses
them (see harness.py for the properties). The libFuzzer flags apply, e.g.
-atheris_runs=N, -max_total_time=S, -max_len=N, and -merge=1 OUT IN to
minimise a corpus (merging runs the script itself again: start it as
./fuzz/python/fuzz_signal.py with the fuzzing Python first on PATH). Needs `pip install atheris`; the corpora replay without
it (tests/python/test_fuzz_corpus.py).

Coverage of the extension's C++ code guides the fuzzer only when the
extension is built with coverage instrumentation and a libFuzzer without
main is preloaded; otherwise only the harness's Python code is seen:

    CXX=clang++ cmake -S . -B build/pyfuzz -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DVANTORESK_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
        -DPython_EXECUTABLE=$(which python) && cmake --build build/pyfuzz
    clang++ -shared -o build/pyfuzz/libfuzzer_no_main.so -Wl,--whole-archive \
        $(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a \
        -Wl,--no-whole-archive -lpthread
    PYTHONPATH=build/pyfuzz LD_PRELOAD=build/pyfuzz/libfuzzer_no_main.so \
        python fuzz/python/fuzz_signal.py decompress CORPUS ...
"""

from __future__ import annotations

import os
import sys

MODES = ("decompress", "roundtrip")


def main() -> int:
    # libFuzzer runs this script again for -merge=1 without the mode word,
    # which only the first process sees: the children take it from the
    # environment.
    help_asked = len(sys.argv) >= 2 and sys.argv[1] in ("-h", "--help")
    if len(sys.argv) >= 2 and sys.argv[1] in MODES:
        mode, args = sys.argv[1], sys.argv[2:]
        os.environ["VANTORESK_FUZZ_MODE"] = mode
    elif not help_asked and os.environ.get("VANTORESK_FUZZ_MODE") in MODES:
        mode, args = os.environ["VANTORESK_FUZZ_MODE"], sys.argv[1:]
    else:
        print(__doc__)
        return 0 if help_asked else 2
    try:
        import atheris
    except ImportError:
        print("fuzz_signal.py needs atheris: pip install atheris", file=sys.stderr)
        return 2

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    # Only the harness's own code gets Python coverage; NumPy and the
    # extension are imported first so that they are left alone.
    import numpy  # noqa: F401
    import vantoresk  # noqa: F401

    with atheris.instrument_imports():
        import harness

    target = harness.decompress_one if mode == "decompress" else harness.roundtrip_one
    atheris.Setup([sys.argv[0]] + args, target)
    atheris.Fuzz()
    return 0


if __name__ == "__main__":
    sys.exit(main())
