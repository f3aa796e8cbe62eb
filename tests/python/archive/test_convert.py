"""Whole-archive conversion: shapes, attributes and error targets against
the source samples, for WFDB formats 212 and 16, EDF+ and BDF+."""

import numpy as np
import pytest
import zarr

from archive_support import decoded, within_target
from vantoresk_archive import ConvertOptions, convert_archive
from vantoresk_zarr.vocabulary import prdn
from vantoresk_archive.store import UsageError


def test_every_channel_within_its_adc_step(archive, reference_store):
    _, built = archive
    for name, rec in built.items():
        if name == "03700181":
            continue  # two rates: checked below
        data, attrs = decoded(reference_store, name)
        assert data.shape == (len(rec.channels), len(rec.physical[0]))
        assert attrs["sampling_rate"] == rec.fs
        assert attrs["channel_names"] == rec.channels
        assert attrs["adc_step"] == pytest.approx(rec.adc_step, rel=1e-6)
        assert all(isinstance(u, str) and u for u in attrs["units"])
        for c, step in enumerate(rec.adc_step):
            gaps = np.isnan(rec.physical[c])
            assert np.array_equal(np.isnan(data[c]), gaps), (name, rec.channels[c])
            assert np.all(np.abs(data[c][~gaps] - rec.physical[c][~gaps]) <= step * (1 + 1e-6)), (name, rec.channels[c])
        # The stored error summary is what a reader of the store measures.
        err = np.nanmax(np.abs(data - np.stack(rec.physical)), axis=1)
        assert attrs["max_abs_error"] == pytest.approx(err, rel=1e-6, abs=1e-12)


@pytest.mark.parametrize("target", [{"max_prdn": 2.0}, {"max_abs_error": 0.02}])
def test_numeric_targets_hold_on_every_channel(archive, tmp_path, target):
    folder, built = archive
    records = [built[name] for name in ("mitdb100", "s0010_re", "a103l")]
    # 5 s chunks: each 12 s record ends in a partial chunk, which the store
    # pads; the targets must hold on the real samples all the same.
    result = convert_archive([str(r.path) for r in records], str(tmp_path / "s.zarr"),
                             ConvertOptions(chunk_seconds=5, **target))
    assert [r.status for r in result.records] == ["converted"] * 3
    for rec in records:
        data, _ = decoded(tmp_path / "s.zarr", rec.path.stem)
        for c in range(len(rec.channels)):
            x, y = rec.physical[c], data[c].astype(np.float64)
            if "max_abs_error" in target:
                assert within_target(x, y, target["max_abs_error"])
            else:
                # Each chunk meets the target, hence the whole channel does.
                assert prdn(x, y) <= target["max_prdn"] * (1 + 1e-6)
    report = {(c.record, c.channel): c for c in result.channels}
    assert report["mitdb100", "MLII"].ratio_float32 > 1
    assert report["mitdb100", "MLII"].ratio_source == pytest.approx(
        report["mitdb100", "MLII"].ratio_float32 * 12 / 32)


def test_rates_in_one_record_stay_apart(archive, reference_store):
    """A WFDB record with 4 samples per frame on one signal keeps every
    sample of it in its own array, nothing averaged."""
    rec = archive[1]["03700181"]
    fast, fa = decoded(reference_store, "03700181", "signals_500hz")
    slow, sa = decoded(reference_store, "03700181", "signals_125hz")
    assert fast.shape == (1, len(rec.physical[0])) and slow.shape == (1, len(rec.physical[1]))
    assert fast.shape[1] == 4 * slow.shape[1]
    assert (fa["sampling_rate"], sa["sampling_rate"]) == (500.0, 125.0)
    assert (fa["channel_names"], sa["channel_names"]) == (["MCL1"], ["ABP"])
    assert within_target(rec.physical[0], fast[0], rec.adc_step[0])
    assert within_target(rec.physical[1], slow[0], rec.adc_step[1])


def test_nonfinite_and_integer_npy_sources(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    x = np.sin(np.arange(3000) / 20.0)
    x[100:110] = np.nan
    x[500] = np.inf
    np.save(src / "gaps.npy", x.astype(np.float32))
    np.save(src / "wide.npy", 1e6 + x[:1500])  # float64 far from zero: stays float64
    counts = np.round(1000 * np.nan_to_num(np.stack([x, -x]), posinf=0, neginf=0)).astype(np.int16)[:, 200:]
    np.save(src / "counts.npy", np.asfortranarray(counts))  # time-major on disk
    store = tmp_path / "n.zarr"
    result = convert_archive([str(src)], str(store),
                             ConvertOptions(max_abs_error=0.01, sampling_rate=100.0, chunk_seconds=7))
    assert not result.failed, [r.reason for r in result.failed]
    gaps, attrs = decoded(store, "gaps")
    assert np.array_equal(np.isnan(gaps[0]), np.isnan(x)) and gaps[0, 500] == np.inf
    fin = np.isfinite(x)
    assert within_target(x[fin], gaps[0][fin], 0.01)
    assert attrs["sampling_rate"] == 100.0 and attrs["adc_step"] == [None]
    back, cattrs = decoded(store, "counts")
    assert back.shape == (2, 2800) and cattrs["source_bits"] == [16, 16]
    assert np.array_equal(counts, back)  # integers: an error under one count is no error
    wide, _ = decoded(store, "wide")
    assert zarr.open_group(str(store))["wide/signals"].dtype == np.float64
    fin = np.isfinite(x[:1500])
    assert np.all(np.abs(wide[0][fin] - (1e6 + x[:1500])[fin]) <= 0.01)


def test_bad_records_fail_alone_with_reasons(archive, tmp_path):
    folder, built = archive
    src = tmp_path / "src"
    src.mkdir()
    # The good record, a header without its signal file, a damaged header,
    # a truncated signal file, a damaged EDF, a float array without ADC
    # steps for an 'adc' target, and a second record of an existing name.
    for f in ("mitdb100.hea", "mitdb100.dat"):
        (src / f).write_bytes((folder / f).read_bytes())
    (src / "nodat.hea").write_text((folder / "s0010_re.hea").read_text().replace("s0010_re", "nodat"))
    (src / "badhdr.hea").write_text("badhdr two 360 banana\nnonsense\n")
    (src / "short.hea").write_text((folder / "s0010_re.hea").read_text().replace("s0010_re", "short"))
    (src / "short.dat").write_bytes((folder / "s0010_re.dat").read_bytes()[:5000])
    (src / "junk.edf").write_bytes(b"0       " + b"x" * 500)
    np.save(src / "floats.npy", np.zeros(100, np.float32))
    np.save(src / "cut.npy", np.zeros(1000, np.float32))
    (src / "cut.npy").write_bytes((src / "cut.npy").read_bytes()[:2000])
    (src / "sub").mkdir()
    np.save(src / "sub" / "mitdb100.npy", np.zeros(100, np.float32))
    store = tmp_path / "s.zarr"
    result = convert_archive([str(src)], str(store), ConvertOptions(max_abs_error="adc"))
    status = {r.source.replace(str(src) + "/", ""): (r.status, r.reason) for r in result.records}
    assert status["mitdb100.hea"] == ("converted", "")
    reasons = {
        "nodat.hea": "missing signal file nodat.dat",
        "badhdr.hea": "damaged or unreadable header",
        "short.hea": "signal file short.dat is truncated (5000 bytes, the header needs 72000)",
        "junk.edf": "damaged or unreadable EDF/BDF file",
        "floats.npy": "no ADC step known for channel(s) floats",
        "cut.npy": "truncated .npy file",
        "sub/mitdb100.npy": "already used by",
    }
    for f, why in reasons.items():
        assert status[f][0] == "failed" and why in status[f][1], (f, status[f])
    from vantoresk_archive.store import record_names

    assert record_names(str(store)) == ["mitdb100"]
    assert not (store / ".partial").exists()


def test_rerun_skips_finished_records_and_overwrite_redoes_them(archive, tmp_path):
    _, built = archive
    src = str(built["mitdb100"].path)
    store = str(tmp_path / "s.zarr")
    first = convert_archive([src], store, ConvertOptions(scale=8))
    again = convert_archive([src], store, ConvertOptions(scale=8))
    assert (first.records[0].status, again.records[0].status) == ("converted", "skipped")
    # Other settings on a finished record are refused, not skipped as if they matched.
    with pytest.raises(UsageError, match="scale=8, this run asks for scale=12: give --overwrite"):
        convert_archive([src], store, ConvertOptions(scale=12))
    coarse, _ = decoded(store, "mitdb100")
    redo = convert_archive([src], store, ConvertOptions(scale=12, overwrite=True))
    fine, _ = decoded(store, "mitdb100")
    assert redo.records[0].status == "converted"
    x = built["mitdb100"].physical
    assert np.abs(fine - x).max() < np.abs(coarse - x).max()


def test_plots_one_png_per_record(archive, tmp_path):
    pytest.importorskip("matplotlib")
    _, built = archive
    result = convert_archive([str(built["s0010_re"].path)], str(tmp_path / "s.zarr"),
                             ConvertOptions(scale=7, plots_dir=str(tmp_path / "plots")))
    assert not result.failed, result.failed[0].reason
    png = tmp_path / "plots" / "s0010_re.png"
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("bad", [
    {"method": "haar"}, {"scale": 13}, {"cutoff": "none"}, {"coder": "zstd"},
    {"max_abs_error": "adc2"}, {"max_abs_error": 0.0}, {"max_prdn": float("nan")}, {"chunk_seconds": 0},
])
def test_options_refused_before_any_record_is_touched(bad):
    with pytest.raises(ValueError):
        ConvertOptions(**bad)


def test_a_missing_reader_names_the_extra(archive, tmp_path, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "wfdb", None)  # as if not installed
    _, built = archive
    result = convert_archive([str(built["mitdb100"].path)], str(tmp_path / "s.zarr"))
    assert result.records[0].status == "failed"
    assert "pip install vantoresk[archive]" in result.records[0].reason
