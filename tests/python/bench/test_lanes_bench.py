"""bench/lanes_bench.py on the example excerpts: the table comes out, the
peers' bins keep their bound, and a codec that breaks its bound fails the run."""

import pathlib
import sys

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "bench"))

import lanes_bench  # noqa: E402


@pytest.fixture
def excerpts(monkeypatch):
    monkeypatch.setattr(lanes_bench, "find_data", lambda: (REPO / "examples" / "data", True))


@pytest.mark.parametrize("k", [0, 1, 2, 8])
def test_bins_of_2k_plus_1_keep_every_code_within_k(k):
    codes = np.arange(-200, 201, dtype=np.int64)
    y = lanes_bench.bins(codes, k)
    assert np.max(np.abs(y * (2 * k + 1) - codes)) <= k
    # Codes already on the lattice stay where they are.
    assert np.array_equal(lanes_bench.bins(y * (2 * k + 1), k), y)


def test_table_for_the_excerpts(excerpts, tmp_path, capsys):
    assert lanes_bench.main(["--ks", "0", "2", "--repeats", "1", "--png", str(tmp_path / "p.png")]) == 0
    out = capsys.readouterr().out
    assert "### k = 2 ADC steps" in out
    rows = [line for line in out.splitlines() if line.startswith("| mitdb100_mlii_60s |")]
    assert len(rows) == 2
    ratio = float(rows[1].split("|")[2])
    assert ratio > 4.0  # a one-minute ECG within 2 steps, against float32


def test_a_codec_off_its_bound_fails_the_run(excerpts, monkeypatch, tmp_path, capsys):
    honest = lanes_bench.pcodec_codec

    def off_by_two_steps(rec, k):
        codec = honest(rec, k)
        if codec is None:
            pytest.skip("pcodec is not installed")
        return lanes_bench.Codec(codec.name, codec.encode, lambda b: codec.decode(b) + np.float32(2 * rec.step))

    monkeypatch.setattr(lanes_bench, "pcodec_codec", off_by_two_steps)
    args = ["--records", "mitdb100_v5_60s", "--ks", "1", "--repeats", "1", "--png", str(tmp_path / "p.png")]
    assert lanes_bench.main(args) == 1
    assert "BOUND BROKEN: bins+pcodec" in capsys.readouterr().err
