"""Python-level fuzzer (atheris) over the extension module's entry points.

    python fuzz/python/fuzz_signal.py decompress CORPUS_DIR [SEED_DIR...] [atheris/libFuzzer flags]
    python fuzz/python/fuzz_signal.py roundtrip CORPUS_DIR [SEED_DIR...] [flags]

`decompress` hands arbitrary bytes to decompress_signal; `roundtrip`
decodes options and samples from the bytes and compresses then decompresses
them (see harness.py for the properties). The libFuzzer flags apply, e.g.
-atheris_runs=N, -max_total_time=S, -max_len=N, and -merge=1 OUT IN to
minimise a corpus. The extension itself is not instrumented: feedback comes
from the harness's Python code, the inputs' variety from the seeds.
Needs `pip install atheris`; the corpora replay without it
(tests/python/test_fuzz_corpus.py).
"""

from __future__ import annotations

import os
import sys


def main() -> int:
    if len(sys.argv) < 2 or sys.argv[1] in ("-h", "--help") or sys.argv[1] not in ("decompress", "roundtrip"):
        print(__doc__)
        return 0 if len(sys.argv) >= 2 and sys.argv[1] in ("-h", "--help") else 2
    try:
        import atheris
    except ImportError:
        print("fuzz_signal.py needs atheris: pip install atheris", file=sys.stderr)
        return 2

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    with atheris.instrument_imports():
        import harness

    target = harness.decompress_one if sys.argv[1] == "decompress" else harness.roundtrip_one
    atheris.Setup([sys.argv[0]] + sys.argv[2:], target)
    atheris.Fuzz()
    return 0


if __name__ == "__main__":
    sys.exit(main())
