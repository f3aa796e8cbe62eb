"""Every committed fuzz corpus input, replayed through the fuzzers' own checks.

The atheris corpora go through the harness they were found with; the
libFuzzer decompress corpus goes through decompress_signal as well, so the
Python layer sees every damaged container the C++ fuzzer kept.
"""

from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parents[2] / "fuzz"

harness = pytest.importorskip("harness", reason="fuzz/python is not beside the tests")

CORPORA = [
    ("py_decompress_signal", harness.decompress_one),
    ("codec_fuzz_decompress", harness.decompress_one),
    ("py_roundtrip", harness.roundtrip_one),
]


@pytest.mark.parametrize("name,check", CORPORA, ids=[c[0] for c in CORPORA])
def test_corpus_replays_cleanly(name, check):
    corpus = FUZZ / "corpus" / name
    if not corpus.is_dir():
        pytest.skip(f"no corpus {name} in this checkout")
    files = sorted(p for p in corpus.iterdir() if p.is_file())
    assert files, f"corpus {name} is empty"
    for path in files:
        try:
            check(path.read_bytes())
        except AssertionError as e:
            raise AssertionError(f"{name}/{path.name}: {e}") from e

