"""bench/lanes_bench.py and its peers (bench/peer_lanes.py) on the example
excerpts: the tables come out for both bounds, every peer's chosen setting
keeps its bound (strictly where asked), the peers' integer paths keep every
value, and a codec that breaks its bound fails the run."""

import importlib.util
import pathlib
import sys

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "bench"))

import lanes_bench  # noqa: E402
import peer_lanes  # noqa: E402
from lanes_ours import Codec  # noqa: E402


def needs(module):
    return pytest.mark.skipif(importlib.util.find_spec(module) is None, reason=f"{module} is not installed")


@pytest.fixture
def excerpts(monkeypatch):
    monkeypatch.setattr(lanes_bench, "find_data", lambda: (REPO / "examples" / "data", True))


@pytest.fixture
def excerpt(excerpts):
    return lanes_bench.load_recordings(["mitdb100_mlii_60s"])[0]


@pytest.mark.parametrize("k", [0, 1, 2, 8])
def test_bins_of_2k_plus_1_keep_every_code_within_k(k):
    codes = np.arange(-200, 201, dtype=np.int64)
    y = lanes_bench.bins(codes, k)
    assert np.max(np.abs(y * (2 * k + 1) - codes)) <= k
    # Codes already on the lattice stay where they are.
    assert np.array_equal(lanes_bench.bins(y * (2 * k + 1), k), y)


# --- the peers' own paths --------------------------------------------------------

@needs("soundfile")
@pytest.mark.parametrize("y", [np.array([1000, -70000, 40000, 5, -8388608, 8388607]),   # 24-bit
                               np.array([-32768, 32767, 0, 1, -1])])                    # 16-bit
def test_flac_keeps_every_integer_and_drops_only_the_comment_block(y):
    import io
    import soundfile
    blob = peer_lanes.flac_ints(y.astype(np.int64), 360.0, 1.0)
    assert np.array_equal(peer_lanes.flac_read(blob), y)
    # The bare stream is a complete FLAC file, smaller than libsndfile's own.
    info = soundfile.info(io.BytesIO(blob[0]))
    assert info.frames == y.size and blob[0][4] & 0x80
    with pytest.raises(ValueError):
        peer_lanes.flac_ints(np.array([1 << 23]), 360.0, None)


def test_value_bins_stay_strictly_inside_k_steps_on_large_values():
    # EEG-like: float32 spacing near 80 is 0.004 steps of 0.0019.
    step = 125.37997 / 65535
    rng = np.random.default_rng(7)
    x = (rng.uniform(-80, 80, 20000)).astype(np.float32)
    for k in (1, 2, 8):
        q = peer_lanes.value_bins(x, k, step)
        assert peer_lanes.max_error(x, q.values(q.ints(x))) <= k * step
    assert peer_lanes.value_bins(x, 0, step) is None


def test_smallest_within_keeps_only_settings_that_meet_the_bound():
    x = np.linspace(0, 1, 100, dtype=np.float32)

    def codec(label, size, offset=0.0, fails=False):
        def encode(v):
            if fails:
                raise ValueError("refused")
            return bytes(size)
        return Codec("p", encode, lambda b: x + np.float32(offset), len, label)

    cands = [codec("big", 50), codec("off", 10, 0.5), codec("raises", 1, fails=True), codec("small", 20, 0.01)]
    best = peer_lanes.smallest_within("p", x, 0.02, cands)
    assert best.setting == "small" and best.name == "p"
    assert peer_lanes.smallest_within("p", x, 0.001, cands).setting == "big"
    assert peer_lanes.smallest_within("p", x, 0.001, cands[1:3]) is None


@pytest.mark.parametrize("peer,module", [("sz3_peer", "pysz"), ("flac_peer", "soundfile"),
                                         ("pcodec_peer", "pcodec")])
@pytest.mark.parametrize("k,strict", [(0, True), (1, True), (4, True), (2, False)])
def test_each_peers_choice_decodes_within_its_bound(excerpt, peer, module, k, strict):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed")
    lane = excerpt.lanes()[0]
    bound = peer_lanes.Bound(k, strict)
    codec = getattr(peer_lanes, peer)(excerpt, lane, bound)
    if peer == "sz3_peer" and k == 0:
        assert codec is None  # no lossless setting in the comparison
        return
    assert codec is not None and codec.setting
    out = codec.decode(codec.encode(lane))
    assert out.dtype == np.float32 and out.shape == lane.shape
    assert peer_lanes.max_error(lane, out) <= bound.steps * excerpt.step
    if k and strict:
        # The ADC bins miss the strict bound on this recording: a narrower choice was made.
        assert "ADC" not in codec.setting or peer == "sz3_peer"


# --- the run ---------------------------------------------------------------------

def test_tables_for_both_bounds_and_the_summary(excerpts, tmp_path, capsys):
    assert lanes_bench.main(["--ks", "0", "2", "--repeats", "1", "--png", str(tmp_path / "p.png")]) == 0
    out = capsys.readouterr().out
    for title in ("### k = 2 ADC steps (strict)", "### k = 2 ADC steps (allowance 0.005)",
                  "### Summary", "### Speed"):
        assert title in out
    rows = [line for line in out.splitlines() if line.startswith("| mitdb100_mlii_60s |")]
    assert len(rows) == 4  # k = 0 and 2, strict and allowance
    assert all(float(r.split("|")[2]) > 4.0 for r in rows)  # a one-minute ECG against float32
    summary = [line for line in out.splitlines() if line.startswith("| all (2) |")]
    assert {line.split("|")[2].strip() for line in summary} == {"strict", "allowance 0.005"}
    assert (tmp_path / "p.png").is_file()


def test_a_codec_off_its_bound_fails_the_run(excerpts, monkeypatch, tmp_path, capsys):
    honest = peer_lanes.pcodec_peer

    def off_by_two_steps(rec, lane, bound):
        codec = honest(rec, lane, bound)
        if codec is None:
            pytest.skip("pcodec is not installed")
        return Codec(codec.name, codec.encode, lambda b: codec.decode(b) + np.float32(2 * rec.step))

    monkeypatch.setattr(lanes_bench, "pcodec_peer", off_by_two_steps)
    args = ["--records", "mitdb100_v5_60s", "--ks", "1", "--bounds", "allowance", "--repeats", "1",
            "--png", str(tmp_path / "p.png")]
    assert lanes_bench.main(args) == 1
    assert "BOUND BROKEN: bins+pcodec" in capsys.readouterr().err


def test_an_unknown_recording_is_an_error_not_a_shorter_table(excerpts, tmp_path, capsys):
    assert lanes_bench.main(["--records", "mitdb100_mlii_60s", "no_such_record", "--ks", "1",
                             "--png", str(tmp_path / "p.png")]) == 2
    err = capsys.readouterr().err
    assert "no_such_record" in err and "Traceback" not in err


def test_a_recording_without_our_result_keeps_its_row():
    r = lanes_bench.Result(ratio=5.0)
    lines = lanes_bench.table("t", ["vantoresk", "SZ3"], {"a": {"vantoresk": r, "SZ3": r}, "b": {"SZ3": r}}, ["SZ3"])
    row = [line for line in lines if line.startswith("| b |")]
    assert row and row[0].count("|") == lines[2].count("|")


def test_reconciliation_walks_every_peer_from_plain_to_strongest(excerpts, capsys):
    import peer_reconcile
    # Every setting's decode is checked inside: a broken bound raises.
    assert peer_reconcile.main(["--records", "mitdb100_mlii_60s", "--ks", "1", "4"]) == 0
    rows = [line.split("|")[1:-1] for line in capsys.readouterr().out.splitlines()[2:]]
    labels = {(r[0].strip(), r[1].split("(")[0].strip()) for r in rows}
    for peer, module in (("SZ3", "pysz"), ("bins+FLAC", "soundfile"), ("bins+pcodec", "pcodec")):
        if importlib.util.find_spec(module) is not None:
            assert {(peer, "plain"), (peer, "strongest, strict"), (peer, "strongest, allowance")} <= labels
    for r in rows:
        assert all(c.strip() == "-" or float(c) > 1.0 for c in r[2:])


@needs("pysz")
def test_every_sz3_setting_is_read_by_sz3_and_changes_its_output():
    # SZ3 ends the process (status 0) on a configuration file it cannot
    # parse, so each setting is tried in a child that must reach its end.
    import subprocess
    code = ("import sys, numpy as np; sys.path.insert(0, sys.argv[1]); import peer_lanes as pl\n"
            "x = np.load(sys.argv[2])[:21600].astype(np.float32)\n"
            "sizes = {s: pl.sz3_setting(0.005, np.float32, x.size, s).encode(x).nbytes for s in pl.SZ3_SETTINGS}\n"
            "print(len(set(sizes.values())), len(sizes), 'done')\n")
    out = subprocess.run([sys.executable, "-c", code, str(REPO / "bench"),
                          str(REPO / "examples" / "data" / "mitdb100_mlii_60s.npy")],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout.split()[-1] == "done", out.stderr
    distinct, total = map(int, out.stdout.split()[:2])
    assert total == len(peer_lanes.SZ3_SETTINGS) and distinct >= total - 2  # the settings take effect
