"""The `vantoresk` command line through a subprocess: help, info, export,
single files, and the exit status and messages of failures."""

import shutil
import subprocess
import sys

import numpy as np
import pytest

from archive_support import EXAMPLE, REPO, decoded, run_cli

SUBCOMMANDS = ["convert", "info", "export", "compress", "decompress"]


def test_help_everywhere():
    top = run_cli("--help")
    assert top.returncode == 0 and all(s in top.stdout for s in SUBCOMMANDS)
    for sub in SUBCOMMANDS:
        r = run_cli(sub, "--help")
        assert r.returncode == 0 and r.stdout.startswith(f"usage: vantoresk {sub}"), sub


@pytest.mark.parametrize("args, status, message", [
    (["convert", "x.hea", "-o", "s.zarr", "--frobnicate"], 2, "unrecognized arguments: --frobnicate"),
    (["convert", "x.hea"], 2, "the following arguments are required: -o/--output"),
    (["convert", "x.hea", "-o", "s.zarr", "--max-abs-error", "-1"], 2, "must be a positive number"),
    (["convert", "x.hea", "-o", "s.zarr", "--workers", "2", "--scheduler", "tcp://h:1"], 2, "not allowed with"),
    (["info", "missing.vtr"], 1, "vantoresk info: error: missing.vtr: no such file or store"),
    (["decompress", "missing.vtr", "-o", "y.npy"], 1, "vantoresk decompress: error: missing.vtr: No such file"),
    (["compress", "missing.npy", "-o", "y.vtr"], 1, "vantoresk compress: error: missing.npy: No such file"),
    (["export", "nostore.zarr", "rec", "-o", "y.npy"], 1, "nostore.zarr: not a Zarr v3 store"),
])
def test_usage_and_missing_files(tmp_path, args, status, message):
    r = run_cli(*args, cwd=tmp_path)
    assert r.returncode == status and message in r.stderr, r.stderr
    assert "Traceback" not in r.stderr


def test_convert_reports_a_damaged_record_and_converts_the_rest(archive, tmp_path):
    folder, _ = archive
    bad = tmp_path / "bad.hea"
    bad.write_text("bad 1 360 7200\nbad.dat 16 200(0)/mV 16\n")  # its signal file is missing
    store, report = tmp_path / "s.zarr", tmp_path / "r.csv"
    r = run_cli("convert", folder / "mitdb100.hea", bad, "-o", store,
                "--max-abs-error", "adc", "--report", report)
    assert r.returncode == 1
    assert f"vantoresk convert: failed: {bad}: missing signal file bad.dat" in r.stderr
    assert "1 converted, 0 already in the store, 1 failed" in r.stdout
    lines = report.read_text().splitlines()
    assert lines[0].startswith("record,array,channel,rate,samples,bytes,ratio_float32,ratio_source,prdn,max_error")
    assert [line.split(",")[2] for line in lines[1:]] == ["MLII", "V5"]
    # A second run finds the record finished; the failures still count.
    again = run_cli("convert", folder / "mitdb100.hea", bad, "-o", store, "-q", "--max-abs-error", "adc")
    assert again.returncode == 1 and again.stdout == ""


def test_info_of_a_store(reference_store, tmp_path):
    store = tmp_path / "copy.zarr"
    shutil.copytree(reference_store, store)
    # A damaged chunk and a lost one show in the listing; nothing is decoded.
    chunk = store / "s0010_re" / "signals" / "c" / "0"
    (chunk / "1").write_bytes((chunk / "1").read_bytes()[:40])
    (chunk / "2").unlink()
    r = run_cli("info", store)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].split()[:4] == ["record", "array", "channel", "Hz"]
    # Arrays group channels by rate, gain and baseline, which depend on the
    # recordings the archive was cut from: compare records, channels and rates.
    rows = {(f[0], f[2], f[3]) for f in (line.split() for line in lines[1:])}
    assert {("mitdb100", "MLII", "360"), ("eegmat_bdf", "O1", "500"), ("03700181", "ABP", "125")} <= rows
    assert next(line for line in lines if line.startswith("s0010_re")).endswith("+ 1 DAMAGED + 1 MISSING")
    inner = run_cli("info", store / "mitdb100")  # a record's own group holds arrays, not records
    assert inner.returncode == 0 and inner.stdout.endswith("no records\n")


def test_single_files_and_info_of_a_container(tmp_path):
    ecg = np.load(EXAMPLE)[:5000]
    np.save(tmp_path / "ecg.npy", ecg)
    np.save(tmp_path / "two.npy", np.stack([ecg, -ecg]).astype(np.float64))
    assert run_cli("compress", "ecg.npy", "-o", "ecg.vtr", "--method", "db4", "--scale", "9", cwd=tmp_path).returncode == 0
    info = run_cli("info", "ecg.vtr", cwd=tmp_path)
    assert info.returncode == 0
    fields = dict(line.split(None, 1) for line in info.stdout.splitlines() if not line.startswith(("payload", "total")))
    assert (fields["wavelet"], fields["scale"], fields["coder"], fields["samples"]) == ("db4", "9", "arans", "5000")
    assert run_cli("compress", "two.npy", "-o", "two.vtf", "--max-abs-error", "0.01", cwd=tmp_path).returncode == 0
    assert run_cli("info", "two.vtf", cwd=tmp_path).returncode == 0
    for name in ("ecg", "two"):
        src = f"{name}.vtr" if name == "ecg" else "two.vtf"
        r = run_cli("decompress", src, "-o", f"{name}_out.npy", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
    assert np.load(tmp_path / "ecg_out.npy").shape == (5000,)
    two = np.load(tmp_path / "two_out.npy")
    assert two.dtype == np.float64 and np.abs(two - np.stack([ecg, -ecg])).max() <= 0.01 + 1e-6

    damaged = (tmp_path / "ecg.vtr").read_bytes()[:200]
    (tmp_path / "cut.vtr").write_bytes(damaged)
    for cmd in (["info", "cut.vtr"], ["decompress", "cut.vtr", "-o", "z.npy"]):
        r = run_cli(*cmd, cwd=tmp_path)
        assert r.returncode == 1 and f"vantoresk {cmd[0]}: error:" in r.stderr and "Traceback" not in r.stderr


@pytest.mark.parametrize("fmt", ["npy", "wfdb", "edf"])
def test_export_gives_the_decoded_samples(reference_store, tmp_path, fmt):
    stored, attrs = decoded(reference_store, "mitdb100")
    out = tmp_path / ("rec.npy" if fmt == "npy" else "rec.edf" if fmt == "edf" else "rec")
    r = run_cli("export", reference_store, "mitdb100", "-o", out, "--format", fmt)
    assert r.returncode == 0, r.stderr
    if fmt == "npy":
        assert np.array_equal(np.load(out), stored.astype(np.float32))
        return
    if fmt == "wfdb":
        import wfdb

        rec = wfdb.rdrecord(str(out))
        back, names, fs = rec.p_signal.T, rec.sig_name, rec.fs
        # The source's own format, gain and baseline: its integers exactly.
        assert (rec.fmt, rec.adc_gain, rec.baseline) == (["212"] * 2, [200.0] * 2, [1024] * 2)
        assert str(rec.base_date) == "1975-06-23" and rec.comments[0] == "69 M 1085 1629 x1"
        tolerance = 1e-12
    else:
        import pyedflib

        with pyedflib.EdfReader(str(out)) as f:
            back = np.stack([f.readSignal(i) for i in range(f.signals_in_file)])
            names, fs = f.getSignalLabels(), f.getSampleFrequency(0)
            assert f.getStartdatetime().isoformat() == "1975-06-23T10:05:00"
            assert f.getNSamples()[0] == stored.shape[1]  # no padding to whole seconds
        # The stored integers; the physical range fields hold 8 characters.
        tolerance = 1e-5 * np.ptp(stored)
    assert names == attrs["channel_names"] and fs == 360
    assert np.abs(back - stored).max() <= tolerance

    unknown = run_cli("export", reference_store, "nope", "-o", tmp_path / "x.npy")
    assert unknown.returncode == 1 and "no record 'nope'" in unknown.stderr


def test_make_records_example_then_convert(tmp_path):
    """The README's two commands, on three seconds of each recording."""
    made = subprocess.run([sys.executable, str(REPO / "examples" / "make_records.py"), "rec", "--seconds", "3"],
                          capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert made.returncode == 0, made.stderr
    assert len(made.stdout.splitlines()) == 9
    r = run_cli("convert", "rec", "-o", "archive.zarr", "--max-abs-error", "adc", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert "9 converted, 0 already in the store, 0 failed" in r.stdout


def test_info_of_a_frame_names_each_exact_lanes_kind():
    frames = REPO / "tests" / "fixtures" / "frames"
    r = run_cli("info", frames / "edf_grid_lanes_nonfinite.vnlf")
    assert r.returncode == 0, r.stderr
    rows = [line.split(None, 4) for line in r.stdout.splitlines() if line.strip()[:1].isdigit()]
    assert [row[4] for row in rows] == ["lossless (grid), 20 non-finite", "lossless (grid)"]
    deflate = run_cli("info", frames / "ecg_exact_adc_grid.vnlf")
    assert "lossless (deflate)" in deflate.stdout
