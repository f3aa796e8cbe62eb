"""Smoke test of bench/peers.py on the example excerpt, plus the pieces of
it whose mistakes would skew the comparison: reading a curve at a PRDN and
recovering a record's ADC grid."""

import importlib.util
import math
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[3]
BENCH = REPO / "bench"
EXCERPT = REPO / "examples" / "data" / "mitdb100_mlii_60s.npy"

from peer_codecs import METHODS, CODERS, Record, adc_codes, NotApplicable  # noqa: E402
from peer_metrics import Point, at_prdn, prdn  # noqa: E402
from peers import adc_grid  # noqa: E402

# peer key in --peers -> (module, package on PyPI, row name prefix)
PEER_MODULES = {"zfp": ("zfpy", "zfpy", "zfp"), "sz3": ("pysz", "pysz", "SZ3"),
                "pcodec": ("pcodec", "pcodec", "pcodec ("), "pcodec-adc": ("pcodec", "pcodec", "pcodec on ADC"),
                "flac": ("soundfile", "soundfile", "FLAC"),
                "blosc2": ("blosc2", "blosc2", "blosc2"), "pywt": ("pywt", "PyWavelets", "PyWavelets")}
LOSSLESS = {"pcodec", "pcodec-adc", "flac", "blosc2"}


def installed(module):
    return importlib.util.find_spec(module) is not None


def run_bench(*args, env=None):
    return subprocess.run([sys.executable, str(BENCH / "peers.py"), *args], capture_output=True,
                          text=True, timeout=120, env=env)


def table_rows(stdout):
    lines = [line for line in stdout.splitlines() if line.startswith("|")]
    return [[cell.strip() for cell in line.strip("|").split("|")] for line in lines]


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("peers")
    result = run_bench("--quick", "--data-dir", str(EXCERPT.parent), "--records", EXCERPT.stem,
                       "--csv", str(out / "peers.csv"), "--png", str(out / "peers.png"))
    return result, out


def test_quick_run_prints_one_full_row_per_compressor(quick_run):
    result, _ = quick_run
    assert result.returncode == 0, result.stderr
    header, rule, *rows = table_rows(result.stdout)
    assert len(header) == 8 and len(rule) == 8
    assert all(len(row) == 8 for row in rows)
    names = [row[0] for row in rows]
    assert {f"vantoresk {m} {c}" for m in METHODS for c in CODERS} <= set(names)
    for row in rows:
        if row[0].startswith("vantoresk"):
            # scales 6-12 span PRDN 0.5-5 % on this ECG: every target is reached
            ratios = [float(cell) for cell in row[1:5]]
            assert all(r > 1.0 for r in ratios) and ratios == sorted(ratios), row
            assert float(row[5]) > 0.0 and float(row[6]) > 0.0 and float(row[7]) > 0.0
    for peer, (module, package, prefix) in PEER_MODULES.items():
        present = [row for row in rows if row[0].startswith(prefix)]
        if not installed(module):
            assert not present and f"package '{package}'" in result.stderr
            continue
        assert len(present) == 1, (peer, names)
        if peer in LOSSLESS:
            assert present[0][5] == "0", present[0]  # lossless means lossless
            assert len(set(present[0][1:5])) == 1


def test_quick_run_writes_csv_and_png(quick_run):
    result, out = quick_run
    lines = (out / "peers.csv").read_text().splitlines()
    assert lines[0].startswith("record,family,lossless,setting,ratio,prdn,max_error")
    assert sum("vantoresk cdf97 arans" in line for line in lines) >= 4
    if installed("matplotlib"):
        assert (out / "peers.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_missing_peer_is_skipped_with_its_package_named(tmp_path):
    (tmp_path / "zfpy.py").write_text("raise ImportError('hidden for the test')\n")
    env = {**__import__("os").environ, "PYTHONPATH": str(tmp_path)}
    result = run_bench("--quick", "--data-dir", str(EXCERPT.parent), "--records", EXCERPT.stem,
                       "--peers", "zfp", "--max-samples", "4096", env=env)
    assert result.returncode == 0, result.stderr
    assert "zfp skipped: package 'zfpy' is not installed" in result.stderr
    assert not any(row[0].startswith("zfp") for row in table_rows(result.stdout))


@pytest.mark.parametrize("args, status, message", [
    (["--peers", "zfp,gzip"], 2, "unknown peer(s) gzip"),
    (["--records", "no_such_record"], 1, "cannot read record no_such_record"),
])
def test_bad_requests_fail_with_a_message(args, status, message):
    result = run_bench("--data-dir", str(EXCERPT.parent), *args)
    assert result.returncode == status and message in result.stderr


def lossy(prdn_value, ratio, max_error=1.0):
    return Point("f", False, "s", ratio, prdn_value, max_error, 10.0, 20.0)


def test_curve_is_read_between_the_settings_around_the_target():
    curve = [lossy(4.0, 20.0, 0.4), lossy(0.25, 3.0, 0.01), lossy(0.5, 4.0, 0.1), lossy(2.0, 16.0, 0.2)]
    at = at_prdn(curve, 1.0)
    # halfway in log PRDN between 0.5 and 2: geometric means
    assert math.isclose(at.ratio, 8.0) and math.isclose(at.max_error, math.sqrt(0.02))
    assert at_prdn(curve, 0.5).ratio == pytest.approx(4.0)
    assert at_prdn(curve, 0.2) is None and at_prdn(curve, 5.0) is None
    assert at_prdn([lossy(1.0, 5.0)], 1.0).ratio == 5.0


def test_lossless_entry_meets_every_target():
    exact = Point("p", True, "s", 6.5, 0.0, 0.0, 1.0, 1.0)
    assert all(at_prdn([exact], t) is exact for t in (0.5, 1, 2, 5))


def test_prdn_ignores_the_mean_and_is_zero_for_an_exact_copy():
    import numpy as np
    x = np.array([10.0, 12.0, 10.0, 12.0], dtype=np.float32)
    assert prdn(x, x.copy()) == 0.0
    assert math.isclose(prdn(x, x + np.float32(0.1)), 10.0, rel_tol=1e-5)


def test_edf_ranges_give_the_digital_grid():
    import numpy as np
    entry = {"edf_phys_range": [-47.3684, 78.01157], "edf_dig_range": [-32768, 32767]}
    gain, baseline = adc_grid(entry)
    ends = np.array([-47.3684, 78.01157]) * gain + baseline
    assert np.allclose(ends, [-32768, 32767])
    assert adc_grid({"gain": 200.0, "baseline": 1024}) == (200.0, 1024.0)
    assert adc_grid({}) == (None, 0.0)


def test_flac_refuses_samples_off_the_stated_grid():
    import numpy as np
    on_grid = np.arange(-5, 5, dtype=np.float32) * np.float32(0.005)
    assert np.array_equal(adc_codes(Record("r", on_grid, adc_gain=200.0, adc_baseline=1024.0)),
                          np.arange(-5, 5) + 1024)
    with pytest.raises(NotApplicable, match="not on the stated ADC grid"):
        adc_codes(Record("r", on_grid + np.float32(0.001), adc_gain=200.0))
    with pytest.raises(NotApplicable, match="no ADC gain"):
        adc_codes(Record("r", on_grid))


def test_shared_data_is_found_or_the_example_is_used(tmp_path, monkeypatch):
    import peers
    monkeypatch.setattr(peers, "REPO", tmp_path / "checkout")
    monkeypatch.delenv("VANTORESK_DATA_DIR", raising=False)
    assert peers.find_data_dir(None) == (peers.EXAMPLE_DATA, True)
    shared = tmp_path / "shared" / "data"
    shared.mkdir(parents=True)
    (shared / "manifest.json").write_text("[]")
    assert peers.find_data_dir(None) == (shared, False)  # beside the checkout
    assert peers.find_data_dir(str(tmp_path)) == (tmp_path, False)


def test_an_empty_record_is_refused(tmp_path):
    import numpy as np
    np.save(tmp_path / "empty.npy", np.zeros(0, dtype=np.float32))
    result = run_bench("--data-dir", str(tmp_path), "--records", "empty", "--peers", "zfp")
    assert result.returncode == 1 and "record empty has no samples" in result.stderr


def test_a_failing_peer_is_reported_and_fails_the_run(tmp_path):
    # Fails every call, and scribbles on its input first.
    (tmp_path / "zfpy.py").write_text(
        "def compress_numpy(x, tolerance):\n    x[0] += 1\n    raise RuntimeError('broken on purpose')\n"
        "def decompress_numpy(blob):\n    raise AssertionError('never reached')\n")
    env = {**__import__("os").environ, "PYTHONPATH": str(tmp_path)}
    result = run_bench("--quick", "--data-dir", str(EXCERPT.parent), "--records", EXCERPT.stem,
                       "--peers", "zfp", "--max-samples", "4096", env=env)
    assert result.returncode == 1
    assert result.stderr.count("failed: RuntimeError: broken on purpose") == 6  # every setting
    assert "zfp (fixed accuracy) modified its input" in result.stderr
    rows = table_rows(result.stdout)
    assert any(row[0] == "vantoresk cdf97 arans" for row in rows)  # the others still ran
    assert not any(row[0].startswith("zfp") for row in rows)
