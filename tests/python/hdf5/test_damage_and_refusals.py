"""What the filter refuses: types and parameters it cannot honour at dataset
creation (an HDF5 error that says why), and damaged or forged chunks at read
time (an HDF5 read error, never a crash or a silent misreading)."""

from __future__ import annotations

import subprocess
import sys

import h5py
import numpy as np
import pytest

import vantoresk_hdf5
from hdf5_helpers import ecg_60s, need_tool, plugin_env, run_python
from vantoresk_hdf5 import FILTER_ID, VantoreskFilter

TAKES = "the vantoresk filter takes"


@pytest.mark.parametrize("dtype, why", [
    ("<i8", "64-bit integers"), ("<u4", "32-bit unsigned integers"), ("<f2", "16-bit floats"),
    ([("a", "<f4"), ("b", "<f4")], "neither a plain integer nor an IEEE float"), ("S8", "neither"),
])
def test_unsupported_types_are_refused_with_the_reason(tmp_path, dtype, why):
    with h5py.File(tmp_path / "x.h5", "w") as f:
        with pytest.raises(ValueError, match=why) as caught:
            f.create_dataset("x", shape=(100,), dtype=dtype, chunks=(50,), **VantoreskFilter())
        assert TAKES in str(caught.value)
        assert "x" not in f


@pytest.mark.parametrize("opts, why", [
    ((2,), "layout version 2"),
    ((1, 0, 0, 0, 13), "scale must be from 6 to 12"),
    ((1, 5), "lane axis 5 is out of range for a chunk of 2 dimensions"),
    ((1, 0xFFFFFFFF, 0, 7), "unknown method code 7"),
    ((1, 0xFFFFFFFF, 0, 0, 11, 0, 0, 1), "a target kind without its value"),
    ((1, 0xFFFFFFFF, 0, 0, 11, 0, 0, 1, 0xBFF00000, 0), "max_abs_error must be"),  # -1.0
    ((1, 0xFFFFFFFF, 4), "ask for int16 but the dataset stores float32"),
    (tuple(range(17)), "more than 16"),
])
def test_bad_parameters_are_refused_at_creation(tmp_path, opts, why):
    with h5py.File(tmp_path / "x.h5", "w") as f:
        with pytest.raises(ValueError, match=why):
            f.create_dataset("x", shape=(4, 100), dtype="<f4", chunks=(2, 50), compression=FILTER_ID,
                             compression_opts=opts)


def test_filter_without_parameters_takes_the_defaults(tmp_path):
    with h5py.File(tmp_path / "x.h5", "w") as f:
        x = np.sin(np.arange(3000) / 20).astype("<f4").reshape(3, 1000)
        d = f.create_dataset("x", data=x, chunks=(1, 1000), compression=FILTER_ID)
        assert vantoresk_hdf5.settings(d.id.get_create_plist().get_filter_by_id(FILTER_ID)[1])["axis"] == -1
        assert np.max(np.abs(d[...] - x)) < 0.01


@pytest.mark.parametrize("kwargs, why", [
    (dict(max_abs_error=0.1, max_prdn=1.0), "at most one target"),
    (dict(max_abs_error=-1.0), "max_abs_error must be"),
    (dict(max_prdn=0.0), "max_prdn must be a positive"),
    (dict(steps=1.5), "steps must be a whole number"),
    (dict(method="haar"), "method must be one of"),
    (dict(scale=5), "scale must be an integer from 6 to 12"),
    (dict(axis=True), "axis must be an integer"),
])
def test_filter_settings_are_checked_in_python(kwargs, why):
    with pytest.raises(ValueError, match=why):
        VantoreskFilter(**kwargs)


def _damaged_file(path):
    """A file whose datasets each hold one bad chunk (and good ones beside it)."""
    ecg = ecg_60s()
    with h5py.File(path, "w") as f:
        big = f.create_dataset("big", data=ecg, chunks=(2, 21600), **VantoreskFilter(max_abs_error=0.005))
        big_frame = big.id.read_direct_chunk((0, 0))[1]
        as_int = f.create_dataset("int32", data=(ecg * 200).astype("<i4"), chunks=(2, 1000),
                                  **VantoreskFilter(max_abs_error=0))
        int_frame = as_int.id.read_direct_chunk((0, 0))[1]
        for name, bad in [
            ("garbage", bytes(range(256)) * 8),
            ("empty_looking", b"\0" * 16),
            ("truncated", None),
            ("flipped_byte", "flip"),
            ("forged_larger_chunk", big_frame),  # decodes to 172800 bytes, the chunk holds 8000
            ("forged_other_type", int_frame),  # int32 where the dataset stores float32, same size
        ]:
            d = f.create_dataset(name, data=ecg, chunks=(2, 1000), **VantoreskFilter(max_abs_error=0.005))
            frame = d.id.read_direct_chunk((0, 1000))[1]
            if bad is None:
                bad = frame[: len(frame) // 2]
            elif bad == "flip":
                bad = frame[:200] + bytes([frame[200] ^ 0x10]) + frame[201:]
            d.id.write_direct_chunk((0, 1000), bad, filter_mask=0)


DAMAGED = ["garbage", "empty_looking", "truncated", "flipped_byte", "forged_larger_chunk", "forged_other_type"]


def test_damaged_chunks_give_read_errors_not_crashes(tmp_path):
    path = tmp_path / "damaged.h5"
    _damaged_file(path)
    code = f"""
import h5py, numpy as np, vantoresk_hdf5
f = h5py.File({str(path)!r}, "r")
for name in {DAMAGED!r}:
    d = f[name]
    good = d[:, :1000]  # the chunks beside the bad one still read
    try:
        d[:, 1000:2000]
        print(name, "READ")
    except OSError as e:
        print(name, "error", str(e).replace(chr(10), " "))
"""
    res = run_python(code)
    assert res.returncode == 0, res.stderr
    lines = dict(line.split(" ", 1) for line in res.stdout.splitlines())
    assert sorted(lines) == sorted(DAMAGED)
    for name, outcome in lines.items():
        assert outcome.startswith("error"), f"{name}: {outcome}"


def test_h5dump_reports_a_damaged_chunk(tmp_path):
    h5dump = need_tool("h5dump")
    path = tmp_path / "damaged.h5"
    _damaged_file(path)
    for name in ("garbage", "forged_larger_chunk"):
        res = subprocess.run([h5dump, "--enable-error-stack", "-d", f"/{name}", str(path)], capture_output=True, text=True,
                             env=plugin_env(), timeout=60)
        assert res.returncode > 0, f"{name}: exit {res.returncode}"  # an error, not a signal
        assert "damaged chunk" in res.stderr or "damaged chunk" in res.stdout


def test_direct_decode_bounds_the_output_by_the_declared_chunk():
    from vantoresk_hdf5 import _plugin

    x = np.arange(4000, dtype="<f4").reshape(2, 2000)
    user = vantoresk_hdf5.cd_values(max_abs_error=0.0)
    cd_big = user[:2] + (1,) + user[3:] + (0, 2, 2, 2000)  # float32, little-endian, chunk (2, 2000)
    frame = _plugin.encode_chunk(cd_big, x)
    assert np.array_equal(_plugin.decode_chunk(cd_big, frame, x.dtype, x.shape), x)
    cd_small = cd_big[:12] + (2, 20)
    with pytest.raises(ValueError, match="does not have the dataset's chunk shape"):
        _plugin.decode_chunk(cd_small, frame, x.dtype, (2, 20))
    with pytest.raises(ValueError, match="a chunk of 16000 bytes where the dataset's chunks hold 160"):
        _plugin.encode_chunk(cd_small, x)


def test_filter_object_works_as_compression_and_as_its_id(tmp_path):
    import pickle

    # pynwb's wrapper (hdmf's H5DataIO) takes only an integer as a plugin filter.
    H5DataIO = pytest.importorskip("hdmf.backends.hdf5.h5_utils", reason="needs the nwb extra").H5DataIO

    filt = VantoreskFilter(max_abs_error=1, axis=0)
    assert int(filt) == FILTER_ID and dict(filt) == {"compression": FILTER_ID,
                                                      "compression_opts": filt.filter_options}
    assert pickle.loads(pickle.dumps(filt)) == filt != VantoreskFilter(max_abs_error=2, axis=0)
    x = (np.arange(20000) % 97).astype("<i2").reshape(10000, 2)
    with pytest.warns(UserWarning, match="compression may not be available"):
        io = H5DataIO(x, chunks=(5000, 2), compression=filt, allow_plugin_filters=True)
    with h5py.File(tmp_path / "x.h5", "w") as f:
        d = f.create_dataset("x", data=x, chunks=(5000, 2), compression=io.io_settings["compression"])
        stored = d.id.get_create_plist().get_filter_by_id(FILTER_ID)[1]
        assert vantoresk_hdf5.settings(stored) == vantoresk_hdf5.settings(filt.filter_options)
