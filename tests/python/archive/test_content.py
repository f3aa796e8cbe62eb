"""What a store keeps of its sources and gives back: the source's integers
with CF packing, header facts, annotations, exports that restore the
source files, the reader API, xarray and MNE, short records and shards."""

import datetime as dt
import filecmp

import numpy as np
import pytest
import zarr

from archive_support import decoded
from vantoresk_archive import ConvertOptions, convert_archive, export_record, list_records, read_record

WFDB_RECORDS = ["mitdb100", "s0010_re", "03700181", "ptb24", "abp32", "icu"]


@pytest.fixture(scope="module")
def lossless_store(archive, tmp_path_factory):
    folder, _ = archive
    store = tmp_path_factory.mktemp("lossless") / "exact.zarr"
    result = convert_archive([str(folder)], str(store), ConvertOptions(lossless=True, chunk_seconds=5))
    assert not result.failed, [(r.source, r.reason) for r in result.failed]
    return store


def test_stored_dtypes_and_cf_packing(lossless_store, reference_store):
    group = zarr.open_group(str(lossless_store), mode="r")
    expect = {"mitdb100": "int16", "s0010_re": "int16", "ptb24": "int32", "abp32": "int32", "icu": "int16",
              "eegmat": "int16", "eegmat_bdf": "int32"}
    for name, dtype in expect.items():
        for a in group[name].attrs["arrays"]:
            arr = group[name][a]
            assert arr.dtype == np.dtype(dtype), (name, a)
            assert tuple(arr.metadata.dimension_names)[0].startswith("channel")
    sig = group["mitdb100"]["signals"]
    assert (sig.attrs["scale_factor"], sig.attrs["add_offset"], sig.attrs["_FillValue"]) == (1 / 200, -1024 / 200, -32768)
    assert sig.attrs["source"][0]["fmt"] == "212" and sig.attrs["source"][0]["baseline"] == 1024
    rec = group["mitdb100"].attrs
    assert rec["source"] == "mitdb100.hea" and rec["start_time"] == "1975-06-23T10:05:00"
    assert rec["comments"] == ["69 M 1085 1629 x1", "Aldomet, Inderal"]
    edf = group["eegmat"].attrs
    assert edf["header"]["patientname"] == "Subject 00" and edf["header"]["equipment"] == "amplifier A"
    # A 32-bit source at one count: float32 could not even hold its samples.
    data, attrs = decoded(reference_store, "abp32")
    src = zarr.open_group(str(lossless_store), mode="r")["abp32"]["signals"][...]
    assert src.dtype == np.int32 and np.abs(src[0]).max() > 1 << 24  # beyond float32's integers
    assert np.abs(data[0] - (src[0] * (1 / 1e6) + 3e-6)).max() <= attrs["adc_step"][0] * (1 + 1e-6)


@pytest.mark.parametrize("name", WFDB_RECORDS)
def test_lossless_wfdb_exports_restore_the_source(archive, lossless_store, tmp_path, name):
    import wfdb

    folder, _ = archive
    export_record(str(lossless_store), name, str(tmp_path / name), fmt="wfdb")
    if name == "icu":  # one record of the layout's channels, the gap as missing samples
        src, back = wfdb.rdrecord(str(folder / name), m2s=True), wfdb.rdrecord(str(tmp_path / name))
        assert back.sig_name == src.sig_name and back.fs == src.fs
        assert np.array_equal(back.p_signal, src.p_signal, equal_nan=True)
        n = len(back.p_signal)  # II, V, ABP: V is missing from the first segment too
        assert np.isnan(back.p_signal).sum(axis=0).tolist() == [n // 5, n * 2 // 5 + n // 5, n // 5]
        assert (back.base_date, back.base_time) == (dt.date(2151, 3, 4), dt.time(8, 30))
        return
    src = wfdb.rdrecord(str(folder / name), physical=False, smooth_frames=False)
    back = wfdb.rdrecord(str(tmp_path / name), physical=False, smooth_frames=False)
    for field in ("fmt", "adc_gain", "baseline", "samps_per_frame", "sig_name", "units", "fs", "sig_len",
                  "base_date", "base_time", "comments"):
        assert getattr(back, field) == getattr(src, field), field
    assert all(np.array_equal(a, b) for a, b in zip(src.e_d_signal, back.e_d_signal))
    # The very files: header, signal file (and annotations below), byte for byte.
    for ext in ("hea", "dat"):
        assert filecmp.cmp(folder / f"{name}.{ext}", tmp_path / f"{name}.{ext}", shallow=False), ext
    if name == "mitdb100":
        assert filecmp.cmp(folder / f"{name}.atr", tmp_path / f"{name}.atr", shallow=False)
        a, b = wfdb.rdann(str(folder / name), "atr"), wfdb.rdann(str(tmp_path / name), "atr")
        assert np.array_equal(a.sample, b.sample) and a.symbol == b.symbol and a.aux_note == b.aux_note


@pytest.mark.parametrize("name", ["eegmat", "eegmat_bdf"])
def test_lossless_edf_exports_restore_the_source(archive, lossless_store, tmp_path, name):
    import pyedflib

    folder, built = archive
    out = export_record(str(lossless_store), name, str(tmp_path / name), fmt="edf")
    with pyedflib.EdfReader(str(built[name].path)) as a, pyedflib.EdfReader(out) as b:
        assert b.filetype == a.filetype and b.getHeader() == a.getHeader()
        assert b.getSignalHeaders() == a.getSignalHeaders()
        assert b.datarecord_duration == a.datarecord_duration and list(b.getNSamples()) == list(a.getNSamples())
        for i in range(a.signals_in_file):
            assert np.array_equal(a.readSignal(i, digital=True), b.readSignal(i, digital=True))
        for x, y in zip(a.readAnnotations(), b.readAnnotations()):
            assert list(x) == list(y)
    assert filecmp.cmp(built[name].path, out, shallow=False)  # the very file


def test_exports_refuse_what_the_format_cannot_hold(lossless_store, tmp_path):
    with pytest.raises(ValueError, match="missing samples"):
        export_record(str(lossless_store), "icu", str(tmp_path / "icu.edf"), fmt="edf")
    with pytest.raises(KeyError, match="several rates"):
        export_record(str(lossless_store), "03700181", str(tmp_path / "x.npy"))


def test_xarray_opens_a_record_and_the_whole_store(archive, reference_store):
    xr = pytest.importorskip("xarray")
    _, built = archive
    ds = xr.open_zarr(str(reference_store), group="mitdb100")
    assert list(ds["channel"].values) == ["MLII", "V5"] and list(ds["channel_units"].values) == ["mV", "mV"]
    assert ds["time"].values[0] == np.datetime64("1975-06-23T10:05:00")
    assert ds["time"].values[360] == np.datetime64("1975-06-23T10:05:01")
    x = ds["signals"].sel(channel="V5").values
    assert np.abs(x - built["mitdb100"].physical[1]).max() <= 1 / 200 * (1 + 1e-6)
    icu = xr.open_zarr(str(reference_store), group="icu")
    gap = np.isnan(icu["signals_125hz"].sel(channel_125hz="V").values)
    assert np.array_equal(gap, np.isnan(built["icu"].physical[1]))
    tree = xr.open_datatree(str(reference_store), engine="zarr")
    assert set(built) <= set(tree.children)
    index = list_records(str(reference_store))
    assert index["03700181"]["rates"] == [125.0, 500.0] and index["mitdb100"]["duration"] == pytest.approx(12.0)
    root = zarr.open_group(str(reference_store), mode="r").attrs["vantoresk"]
    assert root["layout"] == 2 and root["writer"].startswith("vantoresk ")


def test_read_record_windows_channels_and_annotations(archive, reference_store):
    _, built = archive
    rec = read_record(str(reference_store), "mitdb100", start=2.0, stop=dt.datetime(1975, 6, 23, 10, 5, 4),
                      channels=["V5", 0])
    assert rec.channels == ["V5", "MLII"] and rec.rate == 360.0 and rec.data.shape == (2, 720)
    assert np.abs(rec.data[1] - built["mitdb100"].physical[0][720:1440]).max() <= 1 / 200 * (1 + 1e-6)
    atr = rec.annotations["atr"]
    assert len(atr) and np.all((atr.onset >= 2.0) & (atr.onset < 4.0)) and set(atr.label) == {"N"}
    assert np.array_equal(atr.sample, np.round(atr.onset * 360).astype(np.int64))
    both = read_record(str(reference_store), "03700181")
    assert [s.rate for s in both.signals] == [500.0, 125.0]
    with pytest.raises(ValueError, match="several rates"):
        both.data
    with pytest.raises(KeyError, match="no channel 'V9'"):
        read_record(str(reference_store), "mitdb100", channels=["V9"])
    with pytest.raises(ValueError, match="no start time"):
        read_record(str(reference_store), "a103l", start=dt.datetime(2020, 1, 1))


def test_to_mne_in_volts_with_date_and_annotations(archive, reference_store):
    pytest.importorskip("mne")
    _, built = archive
    raw = read_record(str(reference_store), "eegmat").to_mne()
    assert raw.ch_names == ["Fz", "Cz", "O1"] and raw.info["sfreq"] == 500.0
    assert set(raw.get_channel_types()) == {"eeg"}
    assert raw.info["meas_date"] == dt.datetime(2011, 5, 17, 9, 41, 12, tzinfo=dt.timezone.utc)
    assert list(raw.annotations.description) == ["eyes closed", "artefact", "eyes open"]
    assert list(raw.annotations.duration) == [0.0, 1.5, 0.0]
    step = built["eegmat"].adc_step[0]
    assert np.abs(raw.get_data()[0] * 1e6 - built["eegmat"].physical[0]).max() <= step * (1 + 1e-6)
    window = read_record(str(reference_store), "mitdb100", start=5, stop=8).to_mne()
    assert window.info["meas_date"] == dt.datetime(1975, 6, 23, 10, 5, 5, tzinfo=dt.timezone.utc)
    assert 0 < len(window.annotations) and window.annotations.onset.min() >= 0


def test_to_wfdb_gives_the_stored_integers(lossless_store, archive):
    import wfdb

    folder, _ = archive
    rec = read_record(str(lossless_store), "ptb24").to_wfdb()
    src = wfdb.rdrecord(str(folder / "ptb24"), physical=False)
    assert rec.fmt == ["24", "24"] and np.array_equal(rec.d_signal, src.d_signal)


def test_short_records_are_one_chunk_of_their_own_length(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    walk = np.cumsum(np.random.default_rng(3).integers(-4, 5, 300)).astype(np.int16)
    np.save(src / "short.npy", walk)
    store = tmp_path / "s.zarr"
    result = convert_archive([str(src)], str(store), ConvertOptions(sampling_rate=250.0, max_abs_error="adc"))
    assert not result.failed, result.failed
    arr = zarr.open_group(str(store), mode="r")["short"]["signals"]
    assert arr.chunks == (1, 300)
    assert result.channels[0].bytes <= walk.nbytes  # never bigger than the samples themselves
    assert np.abs(arr[0].astype(int) - walk).max() <= 1


def test_shards_hold_several_chunks_and_read_the_same(archive, tmp_path):
    _, built = archive
    src = str(built["s0010_re"].path)
    plain, sharded = tmp_path / "p.zarr", tmp_path / "s.zarr"
    opts = dict(max_abs_error="adc", chunk_seconds=2)
    convert_archive([src], str(plain), ConvertOptions(**opts))
    convert_archive([src], str(sharded), ConvertOptions(shard_chunks=3, **opts))
    arr = zarr.open_group(str(sharded), mode="r")["s0010_re"]["signals"]
    assert arr.shards == (3, 6000) and arr.chunks == (3, 2000)
    assert len(list((sharded / "s0010_re" / "signals" / "c").rglob("*"))) <= 3  # 2 shard files (+ folder)
    assert np.array_equal(arr[...], zarr.open_group(str(plain), mode="r")["s0010_re"]["signals"][...])


def test_missing_samples_survive_lossy_integer_chunks():
    """A gap's fill value and samples one count from it: the codec must
    neither turn the gap into samples nor a sample into the gap."""
    from vantoresk_archive.counts_codec import VantoreskCountsCodec

    rng = np.random.default_rng(5)
    x = np.cumsum(rng.integers(-30, 31, (2, 4000)), axis=1).astype(np.int16)
    x[0, 100:400] = -32768           # a gap
    x[0, 400:410] = -32767           # samples at the edge of the range, next to it
    x[1, :] = np.clip(x[1], -32767, 32767)
    for target in (1.0, 3.0, 0.0):
        store = zarr.storage.MemoryStore()
        arr = zarr.create_array(store, shape=x.shape, chunks=(2, 1500), dtype="int16", fill_value=-32768,
                                serializer=VantoreskCountsCodec(fill=-32768, max_abs_error=target), compressors=None)
        arr[...] = x
        y = arr[...]
        assert np.array_equal(y == -32768, x == -32768), target
        assert np.abs(y.astype(int) - x).max() <= target


def test_prdn_targets_hold_after_rounding_back_to_counts():
    """Chunks with gaps (or a padded last chunk) go to the codec as floats;
    reading rounds them back to counts, which must not push a lane past
    its PRDN target. Small signals, where half a count matters."""
    from vantoresk_archive.counts_codec import VantoreskCountsCodec
    from vantoresk_zarr.vocabulary import prdn

    rng = np.random.default_rng(11)
    t = np.arange(3000)
    x = np.stack([np.rint(6 * np.sin(t / 7.0) + rng.normal(0, 1.5, t.size)),
                  np.rint(3 * np.sin(t / 3.0))]).astype(np.int16)
    x[1, 500:520] = -32768                              # a gap
    for target in (2.0, 5.0, 20.0):
        store = zarr.storage.MemoryStore()
        arr = zarr.create_array(store, shape=x.shape, chunks=(2, 1300), dtype="int16", fill_value=-32768,
                                serializer=VantoreskCountsCodec(fill=-32768, max_prdn=target), compressors=None)
        arr[...] = x                                    # the last chunk is padded with the fill value
        y = arr[...]
        assert np.array_equal(y == -32768, x == -32768), target
        for c in range(2):
            for start in range(0, x.shape[1], 1300):
                keep = x[c, start:start + 1300] != -32768
                got = prdn(x[c, start:start + 1300][keep], y[c, start:start + 1300][keep])
                assert got <= target * (1 + 1e-9), (target, c, start, got)


def test_source_paths_are_relative_and_segments_are_not_records(archive, tmp_path):
    from vantoresk_archive.readers import find_sources

    folder, _ = archive
    found = [p.rsplit("/", 1)[-1] for p in find_sources([str(folder)])]
    assert "icu.hea" in found and not any(f.startswith("icu_") for f in found)
    nested = tmp_path / "in" / "sub"
    nested.mkdir(parents=True)
    np.save(nested / "x.npy", np.zeros(50, np.int16))
    store = tmp_path / "s.zarr"
    convert_archive([str(tmp_path / "in")], str(store), ConvertOptions(sampling_rate=10.0, lossless=True))
    assert zarr.open_group(str(store), mode="r")["x"].attrs["source"] == "sub/x.npy"


def test_a_forged_channel_table_is_refused_clearly(tmp_path, lossless_store):
    import shutil

    store = tmp_path / "copy.zarr"
    shutil.copytree(lossless_store, store)
    group = zarr.open_group(str(store / "a103l"), mode="r+")
    group.attrs["channels"] = [{"name": "II", "array": "signals_250hz", "row": 7}]
    zarr.consolidate_metadata(str(store))
    with pytest.raises(ValueError, match="channel table does not match"):
        read_record(str(store), "a103l")


def test_a_numerics_record_many_channels_at_a_low_rate(tmp_path):
    """Numerics: one value a second of many channels, each its own gain."""
    import wfdb

    rng = np.random.default_rng(9)
    n, names = 400, [f"num{i}" for i in range(12)]
    gains = [1.0, 10.0, 100.0] * 4
    digital = np.cumsum(rng.integers(-2, 3, (n, 12)), axis=0) + 500
    digital[50:60, 3] = -32768  # a stretch the monitor did not record
    wfdb.wrsamp("num", fs=1.0, units=["NU"] * 12, sig_name=names, d_signal=digital, fmt=["16"] * 12,
                adc_gain=gains, baseline=[0] * 12, write_dir=str(tmp_path))
    store = tmp_path / "n.zarr"
    result = convert_archive([str(tmp_path / "num.hea")], str(store), ConvertOptions(max_abs_error="adc"))
    assert not result.failed, result.failed[0].reason
    rec = read_record(str(store), "num")
    assert rec.channels == names and rec.rate == 1.0 and rec.data.shape == (12, n)
    src = wfdb.rdrecord(str(tmp_path / "num")).p_signal.T
    assert np.array_equal(np.isnan(rec.data), np.isnan(src))
    assert np.all(np.nan_to_num(np.abs(rec.data - src)) <= 1 / np.array(gains)[:, None] * (1 + 1e-9))
    assert len(zarr.open_group(str(store), mode="r")["num"].attrs["arrays"]) == 3  # one per gain


def test_channels_sharing_a_name_stay_apart(tmp_path):
    from pyedflib import highlevel

    x = np.arange(1000, dtype=np.float64) / 10
    heads = highlevel.make_signal_headers(["ECG", "ECGB"], dimension="mV", sample_frequency=100,
                                          physical_min=-200, physical_max=200)
    path = tmp_path / "twin.edf"
    highlevel.write_edf(str(path), [x, -x], heads)
    raw = path.read_bytes()  # the library writes unique labels only; recorders do not always
    path.write_bytes(raw.replace(b"ECGB            ", b"ECG             ", 1))
    store = tmp_path / "t.zarr"
    result = convert_archive([str(path)], str(store), ConvertOptions(lossless=True))
    assert not result.failed, result.failed[0].reason
    rec = read_record(str(store), "twin")
    assert rec.channels == ["ECG", "ECG"] and np.allclose(rec.data, [x, -x], atol=0.01)


def test_edf_with_uneven_rates_exports_to_the_same_file(tmp_path):
    """Two rates that are not whole numbers (124.95 and 249.9 Hz) and a
    length of whole data records: the same bytes come back, no padding."""
    from pyedflib import highlevel

    rng = np.random.default_rng(11)
    rates = [124.95, 249.9]
    seconds = 40
    signals = [np.cumsum(rng.normal(0, 1, int(round(f * seconds)))) for f in rates]
    heads = [highlevel.make_signal_header(f"ch{i}", dimension="uV", sample_frequency=f,
                                          physical_min=-500, physical_max=500) for i, f in enumerate(rates)]
    src = tmp_path / "src"
    src.mkdir()
    highlevel.write_edf(str(src / "uneven.edf"), signals, heads)
    store = tmp_path / "s.zarr"
    result = convert_archive([str(src)], str(store), ConvertOptions(lossless=True))
    assert not result.failed, result.failed[0].reason
    rec = read_record(str(store), "uneven")
    assert [s.rate for s in rec.signals] == pytest.approx([249.9, 124.95])
    out = export_record(str(store), "uneven", str(tmp_path / "back.edf"), fmt="edf")
    assert filecmp.cmp(src / "uneven.edf", out, shallow=False)


def test_a_store_in_memory(archive):
    """Stores at fsspec URLs: written and read back through zarr's own storage."""
    _, built = archive
    url = "memory://content-test/a.zarr"
    result = convert_archive([str(built["icu"].path)], url, ConvertOptions(max_abs_error="adc"))
    assert not result.failed, result.failed[0].reason
    assert list(list_records(url)) == ["icu"]
    rec = read_record(url, "icu", channels=["V"])
    assert np.array_equal(np.isnan(rec.data[0]), np.isnan(built["icu"].physical[1]))


def test_targets_in_counts_and_full_range_edf_in_xarray(archive, lossless_store, tmp_path):
    """A target below one count stores the integers exactly; two and a half
    counts allow two. An EDF using its whole digital range has no value left
    to mark gaps: xarray must not mask any real sample."""
    xr = pytest.importorskip("xarray")
    _, built = archive
    src = str(built["mitdb100"].path)
    exact = zarr.open_group(str(lossless_store), mode="r")["mitdb100"]["signals"][...]
    for target, counts in ((0.004, 0), (0.0125, 2)):
        store = tmp_path / f"t{counts}.zarr"
        convert_archive([src], str(store), ConvertOptions(max_abs_error=target))
        got = zarr.open_group(str(store), mode="r")["mitdb100"]["signals"][...]
        assert np.abs(got.astype(int) - exact).max() == counts
    edf = zarr.open_group(str(lossless_store), mode="r")["eegmat"]["signals_500hz"]
    assert "_FillValue" not in edf.attrs  # -32768..32767 all in use
    ds = xr.open_zarr(str(lossless_store), group="eegmat")
    assert not np.isnan(ds["signals_500hz"].values).any()


def test_reader_refusals_name_the_problem(archive, reference_store, tmp_path):
    import shutil

    folder, _ = archive
    with pytest.raises(ValueError, match="comes before start"):
        read_record(str(reference_store), "mitdb100", start=5, stop=2)
    with pytest.raises(IndexError, match="has 2 channels, not channel 5"):
        read_record(str(reference_store), "mitdb100", channels=[5])
    with pytest.raises(ValueError, match="choose it with rate="):
        read_record(str(reference_store), "03700181").to_mne()
    assert read_record(str(reference_store), "03700181").to_mne(rate=125.0).ch_names == ["ABP"]
    with pytest.raises(KeyError, match="no record 'nope'"):
        read_record(str(reference_store), "nope")
    # A multi-segment record with a segment header missing, then with a
    # channel whose gain changes between segments: kept in physical units.
    seg = tmp_path / "seg"
    shutil.copytree(folder, seg, ignore=lambda d, names: [n for n in names if not n.startswith("icu")])
    header = (seg / "icu_0002.hea").read_text().replace("200.0(0)/mV", "400.0(0)/mV", 1)
    (seg / "icu_0002.hea").write_text(header)
    (seg / "icu_0001.hea").rename(seg / "gone.hea")
    result = convert_archive([str(seg / "icu.hea")], str(tmp_path / "s.zarr"))
    assert result.records[0].status == "failed" and "icu_0001" in result.records[0].reason
    (seg / "gone.hea").rename(seg / "icu_0001.hea")
    store = tmp_path / "s2.zarr"
    result = convert_archive([str(seg / "icu.hea")], str(store), ConvertOptions(max_abs_error="adc"))
    assert result.records[0].status == "converted", result.records[0].reason
    import wfdb

    src = wfdb.rdrecord(str(seg / "icu"), m2s=True).p_signal.T  # II read at 200 then at 400 per mV
    back = read_record(str(store), "icu")
    assert np.array_equal(np.isnan(back.data), np.isnan(src))
    assert np.nanmax(np.abs(back.data[0] - src[0])) <= 1 / 400 * (1 + 1e-6)
    arrays = {c["name"]: c["array"] for c in back.attrs["channels"]}
    group = zarr.open_group(str(store), mode="r")["icu"]
    assert group[arrays["II"]].dtype == np.float64 and group[arrays["V"]].dtype == np.int16


def test_forged_annotation_tables_are_refused(tmp_path, lossless_store):
    import shutil

    store = tmp_path / "copy.zarr"
    shutil.copytree(lossless_store, store)
    table = zarr.open_group(str(store / "mitdb100" / "annotations" / "atr"), mode="r+")
    table.attrs["labels"] = ["N"]  # the '+' label's index now points past the list
    zarr.consolidate_metadata(str(store))
    with pytest.raises(ValueError, match="refers to label 1 of 1"):
        read_record(str(store), "mitdb100")
    table.attrs["labels"] = ["+", "N"]
    table["onset"].resize((3,))
    zarr.consolidate_metadata(str(store))
    with pytest.raises(ValueError, match="columns of different lengths"):
        read_record(str(store), "mitdb100")


def test_a_running_dask_cluster_writes_the_serial_store(archive, reference_store, tmp_path):
    """`--scheduler ADDRESS`: a cluster someone else started (here one worker
    thread in this process) gives the same bytes as the serial run."""
    distributed = pytest.importorskip("distributed")
    from archive_support import same_tree

    folder, _ = archive
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        store = tmp_path / "cluster.zarr"
        result = convert_archive([str(folder)], str(store), ConvertOptions(max_abs_error="adc", chunk_seconds=5),
                                 scheduler=cluster.scheduler_address, part_chunks=2)
    assert not result.failed, [(r.name, r.reason) for r in result.failed]
    assert same_tree(reference_store, store)


def test_the_walkthrough_example_runs(tmp_path):
    pytest.importorskip("xarray")
    pytest.importorskip("mne")
    import subprocess
    import sys

    from archive_support import REPO

    r = subprocess.run([sys.executable, str(REPO / "examples" / "archive_walkthrough.py"), "work", "--seconds", "6"],
                       capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert r.returncode == 0, r.stderr
    assert "exports: 4 of 4 files identical to their sources" in r.stdout
    assert "annotations ['eyes closed', 'artefact', 'eyes open']" in r.stdout
