"""Hostile sources and stores: files named like store metadata, links
inside the store, headers with absurd rates, forged store metadata, sources
the stored samples cannot hold to the target, and EDF headers with stray
bytes: each case built as a hostile file or store would present it."""

import json
import os
import shutil
import time

import numpy as np
import pytest

from vantoresk_archive import ConvertOptions, convert_archive, limits
from vantoresk_archive import store as st
from vantoresk_archive.cli import main
from vantoresk_archive.readers import SignalGroup
from vantoresk_archive.limits import MIN_CHUNK
from vantoresk_archive.record import chunk_length


def wfdb_record(folder, name, fs, n, baseline=0, gain=200):
    """A one-signal format-16 WFDB record written by hand (n samples)."""
    (folder / f"{name}.hea").write_text(f"{name} 1 {fs} {n}\n{name}.dat 16 {gain}({baseline})/mV 16 0 0 0 0 sig\n")
    d = (1000 * np.sin(np.arange(n) / 7.0)).astype("<i2")
    (folder / f"{name}.dat").write_bytes(d.tobytes())


def test_sources_named_like_store_metadata(tmp_path, capsys):
    src = tmp_path / "src"
    src.mkdir()
    np.save(src / "zarr.json.npy", np.sin(np.arange(2000) / 9.0))
    np.save(src / "ZARR.JSON.npy", np.cos(np.arange(2000) / 9.0))  # differs only in case
    store = tmp_path / "s.zarr"
    assert main(["convert", str(src), "-o", str(store), "--fs", "50", "-q"]) == 0
    assert json.loads((store / "zarr.json").read_text())["node_type"] == "group"
    assert st.record_names(str(store)) == ["ZARR.JSON_", "zarr.json_"]
    assert main(["info", str(store)]) == 0
    for bad in ["zarr.json", "Zarr.Json", ".partial", ".zgroup", "a/b", "..", ""]:
        with pytest.raises(ValueError):
            st.begin_record(str(store), bad)


def test_links_inside_the_store_never_lead_outside(tmp_path, capsys):
    src = tmp_path / "src"
    src.mkdir()
    np.save(src / "a.npy", np.sin(np.arange(2000) / 9.0))
    outside = tmp_path / "outside"
    (outside / "a.0123456789ab").mkdir(parents=True)  # looks like a leftover of record "a"
    (outside / "a.0123456789ab" / "precious").write_text("x")
    (outside / "zarr.json").write_text('{"zarr_format": 3, "node_type": "group", "attributes": {"arrays": []}}')
    store = tmp_path / "s.zarr"
    st.open_root(str(store), create=True)
    (store / st.PARTIAL).symlink_to(outside)
    assert main(["convert", str(src), "-o", str(store), "--fs", "50", "-q"]) == 1
    assert ".partial: expected the store's own folder" in capsys.readouterr().err
    assert (outside / "a.0123456789ab" / "precious").read_text() == "x"

    # A record folder and a leftover that are links: replaced and unlinked, never followed.
    (store / st.PARTIAL).unlink()
    (store / st.PARTIAL).mkdir()
    (store / st.PARTIAL / "a.0123456789ab").symlink_to(outside / "a.0123456789ab")
    (store / "a").symlink_to(outside)
    assert st.record_names(str(store)) == []
    assert main(["convert", str(src), "-o", str(store), "--fs", "50", "-q"]) == 0
    assert not (store / "a").is_symlink() and st.record_names(str(store)) == ["a"]
    assert sorted(os.listdir(outside)) == ["a.0123456789ab", "zarr.json"]
    assert (outside / "a.0123456789ab" / "precious").read_text() == "x"

    # A folder of someone else's in a record's place is never replaced.
    np.save(src / "b.npy", np.cos(np.arange(2000) / 9.0))
    (store / "b").mkdir()
    (store / "b" / "notes.txt").write_text("mine")
    assert main(["convert", str(src), "-o", str(store), "--fs", "50", "-q", "--overwrite"]) == 1
    assert "is in the way and is not a record of this store" in capsys.readouterr().err
    assert (store / "b" / "notes.txt").read_text() == "mine" and st.record_names(str(store)) == ["a"]


def test_absurd_rates_give_bounded_chunks(tmp_path):
    group = SignalGroup("signals", 1e7, ("a",), ("mV",), (0.005,), (16,), 10**10)
    assert 0 < chunk_length(group, ConvertOptions()) <= limits.MAX_CHUNK_ELEMENTS
    many = SignalGroup("signals", 1e7, tuple("c%d" % i for i in range(4096)), ("",) * 4096, (None,) * 4096,
                       (16,) * 4096, 10**10)
    assert chunk_length(many, ConvertOptions()) * 4096 <= limits.MAX_CHUNK_ELEMENTS
    src = tmp_path / "src"
    src.mkdir()
    wfdb_record(src, "slow", "0.0001", 5000)  # one sample every 10000 s
    wfdb_record(src, "fast", "100000000", 20000)  # 100 MHz: refused by the reader
    store = tmp_path / "s.zarr"
    result = convert_archive([str(src)], str(store), ConvertOptions(max_abs_error="adc"))
    status = {r.name: (r.status, r.reason) for r in result.records}
    assert status["slow"] == ("converted", "")
    assert status["fast"][0] == "failed" and "no usable sampling rate" in status["fast"][1]
    import zarr

    slow = zarr.open_group(str(store / "slow"))["signals"]
    assert slow.chunks[1] == MIN_CHUNK and len(os.listdir(store / "slow/signals/c/0")) == -(-5000 // MIN_CHUNK)


def _forge(store, record, array, edit):
    """Edit a node's metadata, in its own file and in the root's consolidated copy."""
    node = f"{record}/{array}" if array else record
    meta = store / node / "zarr.json"
    doc = json.loads(meta.read_text())
    edit(doc)
    meta.write_text(json.dumps(doc))
    root = json.loads((store / "zarr.json").read_text())
    consolidated = (root.get("consolidated_metadata") or {}).get("metadata", {})
    if node in consolidated:
        edit(consolidated[node])
        (store / "zarr.json").write_text(json.dumps(root))


@pytest.fixture
def copy_of(reference_store, tmp_path):
    store = tmp_path / "copy.zarr"
    shutil.copytree(reference_store, store)
    return store


def test_info_on_a_huge_claimed_shape_answers_at_once(copy_of, capsys):
    def huge(n):
        return lambda d: d.update(shape=[2, n])

    _forge(copy_of, "mitdb100", "signals", huge(10**9))  # 555,556 chunks, 3 of them there
    t0 = time.perf_counter()
    assert main(["info", str(copy_of)]) == 0
    out = capsys.readouterr().out
    assert "555553 MISSING" in next(line for line in out.splitlines() if line.startswith("mitdb100"))
    _forge(copy_of, "mitdb100", "signals", huge(10**15))
    assert main(["info", str(copy_of)]) == 1
    assert "claims more chunks than any recording has" in capsys.readouterr().err
    assert time.perf_counter() - t0 < 30


@pytest.mark.parametrize("record, target, edit, message", [
    ("mitdb100", "group", lambda d: d["attributes"].update(arrays="signals"), "'arrays' is not a list of names"),
    ("mitdb100", "group", lambda d: d["attributes"].update(arrays=["nothere"]), "missing or damaged array"),
    ("mitdb100", "signals", lambda d: d["attributes"].update(channel_names=["MLII"]), "'channel_names' should list"),
    ("mitdb100", "signals", lambda d: d["attributes"].update(prdn=["x", "y"]), "'prdn' holds entries of the wrong"),
    ("mitdb100", "signals", lambda d: d["attributes"].update(sampling_rate=-360), "sampling_rate -360"),
    ("mitdb100", "signals", lambda d: d.update(shape=[2, 4320, 1]), "same number of dimensions"),
    ("mitdb100", "signals", lambda d: d.update(shape=[0, 4320]), "0 channels"),
    ("mitdb100", "signals", lambda d: d["attributes"].update(scale_factor="x"), "scale_factor 'x' is not a finite"),
])
def test_forged_metadata_gives_clear_messages(copy_of, capsys, record, target, edit, message):
    _forge(copy_of, record, None if target == "group" else target, edit)
    assert main(["info", str(copy_of)]) == 1
    err = capsys.readouterr().err
    assert message in err and "damaged" in err and err.count("\n") == 1, err
    assert main(["export", str(copy_of), record, "-o", str(copy_of.parent / "x.npy")]) == 1
    err = capsys.readouterr().err
    assert err.startswith("vantoresk export: error: ") and err.count("\n") == 1, err
    assert "Traceback" not in err and ("damaged" in err or "does not match" in err or "not an archive" in err), err


@pytest.mark.parametrize("edit, message", [
    (lambda d: d["attributes"].update(labels=5), "'labels' is not a list of strings"),
    (lambda d: d["attributes"].update(aux_values=[1, 2]), "'aux_values' is not a list of strings"),
])
def test_forged_annotation_tables_give_clear_messages(copy_of, capsys, edit, message):
    _forge(copy_of, "mitdb100/annotations", "atr", edit)
    assert main(["export", str(copy_of), "mitdb100", "-o", str(copy_of.parent / "x"), "--format", "wfdb"]) == 1
    err = capsys.readouterr().err
    assert f"annotation table 'atr': damaged metadata: {message}" in err and err.count("\n") == 1, err


def test_sources_the_float32_store_could_not_hold_meet_their_target(tmp_path, capsys):
    """Sources that float32 cannot hold to the target (a large offset in
    float64, a huge WFDB baseline) are kept in their own numbers (float64,
    the source's integers) and meet it against the source itself."""
    from vantoresk_archive.read import read_record

    src = tmp_path / "src"
    src.mkdir()
    x = 1e6 + np.sin(np.arange(3000) / 9.0)  # float32 steps of 0.0625 there
    np.save(src / "offset.npy", x)
    wfdb_record(src, "baseline", 360, 3000, baseline=2_000_000_000)  # -1e7 mV, float32 steps of 1 mV
    store = tmp_path / "s.zarr"
    assert main(["convert", str(src / "offset.npy"), "-o", str(store), "--fs", "100",
                 "--max-abs-error", "0.01", "-q"]) == 0
    assert np.abs(read_record(str(store), "offset").data[0] - x).max() <= 0.01
    result = convert_archive([str(src / "baseline.hea")], str(tmp_path / "b.zarr"), ConvertOptions(max_abs_error="adc"))
    assert result.records[0].status == "converted", result.records[0].reason
    d = (1000 * np.sin(np.arange(3000) / 7.0)).astype("<i2").astype(np.float64)
    back = read_record(str(tmp_path / "b.zarr"), "baseline").data[0]
    assert np.abs(back - (d - 2e9) / 200).max() <= 0.005 * (1 + 1e-6)  # one count, rounded at 1e7


def test_edf_with_a_stray_byte_in_a_text_field_is_read_with_a_warning(tmp_path, capsys):
    pyedflib = pytest.importorskip("pyedflib")
    from pyedflib import highlevel

    src = tmp_path / "src"
    src.mkdir()
    x = np.round(1000 * np.sin(np.arange(2000) / 9.0)) / 10
    headers = highlevel.make_signal_headers(["Fp1", "Fp2"], dimension="uV", sample_frequency=200,
                                            physical_min=-200, physical_max=200)
    highlevel.write_edf(str(src / "ok.edf"), [x, -x], headers)
    raw = bytearray((src / "ok.edf").read_bytes())
    ns = int(raw[252:256])  # the two signals and the annotations
    raw[256 + 96 * ns] = 0xB5  # 'µV' in latin-1, in the first unit field
    raw[256 + 16 * ns + 80 + 5] = 0xE9  # an 'é' in the second signal's transducer
    with pyedflib.EdfReader(str(src / "ok.edf")) as f:
        x = f.readSignal(0)  # the samples as the file holds them
    (src / "ok.edf").unlink()
    (src / "latin.edf").write_bytes(bytes(raw))
    with pytest.raises(OSError):
        pyedflib.EdfReader(str(src / "latin.edf"))  # what the library alone does
    damaged = bytearray(raw)
    damaged[256 + 104 * ns] = 0xB5  # a numeric field (physical minimum): still refused
    (tmp_path / "numeric.edf").write_bytes(bytes(damaged))

    store = tmp_path / "s.zarr"
    assert main(["convert", str(src), "-o", str(store), "--max-abs-error", "adc", "-q"]) == 0
    err = capsys.readouterr().err
    assert "warning: " in err and "0xb5 in the physical dimension of signal 1 read as 'u'" in err
    assert "0xe9 in the transducer of signal 2 read as '?'" in err
    import zarr

    from vantoresk_archive.read import read_record

    arr = zarr.open_group(str(store / "latin"))["signals"]
    assert arr.attrs["units"] == ["uV", "uV"]
    assert np.abs(read_record(str(store), "latin").data[0] - x).max() <= arr.attrs["adc_step"][0] * (1 + 1e-6)
    assert not [p for p in os.listdir(os.environ.get("TMPDIR", "/tmp")) if p.startswith("vantoresk-edf-")]
    (tmp_path / "cut.edf").write_bytes(bytes(raw[:-300]))  # stray bytes and a truncated body
    bad = convert_archive([str(tmp_path / "numeric.edf"), str(tmp_path / "cut.edf")], str(tmp_path / "n.zarr"))
    for r in bad.records:  # refused, in words about the file itself, not about a temporary copy
        assert r.status == "failed" and "damaged or unreadable EDF/BDF" in r.reason and "vantoresk-edf-" not in r.reason
