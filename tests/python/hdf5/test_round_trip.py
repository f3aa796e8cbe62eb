"""Every dataset shape users write, through h5py, read back in fresh processes and by h5dump.

One file holds a dataset per case; a fresh interpreter reads it back (once
registering the filter by importing vantoresk_hdf5, once finding the plugin
through HDF5_PLUGIN_PATH alone), and h5dump (the system's HDF5) dumps each
dataset's raw values. All must agree bit for bit, meet the case's target,
and keep non-finite values exactly.
"""

from __future__ import annotations

import subprocess
from dataclasses import dataclass, field
from typing import Optional

import h5py
import numpy as np
import pytest

import vantoresk_hdf5
from hdf5_helpers import ecg_60s, need_tool, plugin_env, run_python, same_bits
from vantoresk_hdf5 import VantoreskFilter

STEP = 0.005  # the recording's ADC step, mV


@dataclass
class Case:
    data: np.ndarray
    chunks: tuple
    options: dict
    fill: Optional[float] = None
    bound: float = 0.0  # largest absolute error allowed (counts for integers)
    prdn: Optional[float] = None  # per-lane PRDN bound, lanes along the last axis
    extra: dict = field(default_factory=dict)


def _with_nonfinite(x: np.ndarray) -> np.ndarray:
    y = x.copy()
    flat = y.reshape(-1)
    bits = flat.view(np.uint32 if y.dtype.itemsize == 4 else np.uint64)
    nan_payload = 0x7FC00123 if y.dtype.itemsize == 4 else 0x7FF8000000000123
    flat[100:140] = np.nan
    bits[150] = nan_payload
    bits[151] = nan_payload | (1 << (8 * y.dtype.itemsize - 1))  # negative NaN with a payload
    flat[200] = np.inf
    flat[201] = -np.inf
    flat[300] = -0.0
    flat[-5:] = np.nan  # a lane ending in a run of NaN
    return y


def cases() -> dict:
    ecg = ecg_60s()  # (2, 21600) float32
    counts = np.round(ecg / STEP).astype(np.int16)
    return {
        # (channel, time), lanes along time, an edge chunk padded with NaN.
        "ct_f32le_nanfill": Case(ecg.astype("<f4"), (2, 5000), dict(max_abs_error=STEP), np.nan, STEP),
        # (time, channel) big-endian, one channel per chunk, edge chunk without a fill value.
        "tc_f32be": Case(ecg.T.astype(">f4"), (5000, 1), dict(max_abs_error=0.002, axis=0), None, 0.002),
        "ct_f64be_prdn": Case(ecg.astype(">f8"), (1, 5400), dict(max_prdn=2.0), None, np.inf, prdn=2.0),
        "tc_f64le_nanfill": Case(ecg.T.astype("<f8"), (4000, 2), dict(max_abs_error=0.001, axis=0), np.nan, 0.001),
        "ct_i16": Case(counts, (2, 6000), dict(max_abs_error=2), None, 2),
        "tc_i16_be_steps": Case(counts.T.astype(">i2"), (7000, 2), dict(steps=1, axis=0), None, 1),
        "tc_i32_exact": Case((counts.T.astype(np.int32) << 8) + 7, (7000, 2), dict(max_abs_error=0, axis=0), None, 0),
        "ct_f32_nonfinite": Case(_with_nonfinite(ecg.astype("<f4")), (2, 4096), dict(max_abs_error=STEP), np.nan,
                                 STEP),
        "tc_f64be_nonfinite": Case(_with_nonfinite(ecg.T.astype(">f8").copy()), (3000, 2),
                                   dict(max_abs_error=STEP, axis=0), None, STEP),
        "ct_f32_default": Case(ecg.astype("<f4"), (2, 8192), {}, None, np.inf),
        "3d_f32": Case(np.stack([ecg, ecg[::-1]]).astype("<f4"), (1, 2, 5000), dict(max_abs_error=STEP), None, STEP),
        # More than four dimensions: coded as (before, lane, after) around the lane axis.
        "5d_f32_mid_axis": Case(ecg[:, :2400].reshape(2, 2, 300, 2, 2).astype("<f4"), (1, 2, 128, 2, 2),
                                dict(max_abs_error=STEP, axis=2), None, STEP),
    }


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    folder = tmp_path_factory.mktemp("round_trip")
    path = folder / "cases.h5"
    all_cases = cases()
    with h5py.File(path, "w") as f:
        for name, c in all_cases.items():
            kw = {} if c.fill is None else {"fillvalue": c.fill}
            f.create_dataset(name, data=c.data, chunks=c.chunks, **kw, **VantoreskFilter(**c.options))
    return path, all_cases


def _read_fresh(path, out, import_package: bool) -> None:
    code = (
        "import h5py, numpy as np\n"
        + ("import vantoresk_hdf5\n" if import_package else "")
        + f"f = h5py.File({str(path)!r}, 'r')\n"
        f"np.savez({str(out)!r}, **{{k: f[k][...] for k in f}})\n"
    )
    res = run_python(code, env=None if import_package else plugin_env())
    assert res.returncode == 0, res.stderr


@pytest.fixture(scope="module")
def read_back(written, tmp_path_factory):
    path, _ = written
    folder = tmp_path_factory.mktemp("read_back")
    _read_fresh(path, folder / "imported.npz", import_package=True)
    _read_fresh(path, folder / "plugin_path.npz", import_package=False)
    return np.load(folder / "imported.npz"), np.load(folder / "plugin_path.npz")


def _lane_prdn(x: np.ndarray, y: np.ndarray, lane: int) -> float:
    worst = 0.0
    for c in range(x.shape[0]):
        for s in range(0, x.shape[1], lane):
            a = x[c, s:s + lane].astype(np.float64)
            d = a - y[c, s:s + lane]
            worst = max(worst, 100 * np.sqrt(np.sum(d * d) / np.sum((a - a.mean()) ** 2)))
    return worst


@pytest.mark.parametrize("name", list(cases()))
def test_fresh_process_reads_within_target(written, read_back, name):
    _, all_cases = written
    c = all_cases[name]
    imported, by_path = read_back
    got = imported[name]
    assert got.dtype == c.data.dtype and got.shape == c.data.shape
    assert same_bits(got, by_path[name]), "the plugin found by HDF5_PLUGIN_PATH decodes differently"
    finite = np.isfinite(c.data)
    assert same_bits(got[~finite], c.data[~finite]), "non-finite values changed"
    error = np.abs(got[finite].astype(np.float64) - c.data[finite].astype(np.float64))
    assert error.max(initial=0) <= c.bound, f"largest error {error.max()} over {c.bound}"
    if c.prdn is not None:
        assert _lane_prdn(c.data, got, c.chunks[-1]) <= c.prdn


def test_stored_parameters_describe_the_chunks(written):
    path, all_cases = written
    with h5py.File(path, "r") as f:
        flags, values, name = f["tc_f32be"].id.get_create_plist().get_filter_by_id(vantoresk_hdf5.FILTER_ID)
        assert name == b"vantoresk"
        assert values[2] == 1 and values[10] == 1  # float32, big-endian
        assert values[11:] == (2, 5000, 1)
        assert vantoresk_hdf5.settings(values) == {"axis": 0, "method": "cdf97", "scale": 11, "cutoff": "low",
                                                   "coder": "auto", "max_abs_error": 0.002}
        # Five dimensions are stored as (lanes before, lane length, lanes after).
        values = f["5d_f32_mid_axis"].id.get_create_plist().get_filter_by_id(vantoresk_hdf5.FILTER_ID)[1]
        assert values[1] == 1 and values[11:] == (3, 2, 128, 4)
        # Stored chunks are smaller than the data.
        ecg = f["ct_f32le_nanfill"]
        assert ecg.id.get_storage_size() < ecg.size * ecg.dtype.itemsize / 2


@pytest.mark.parametrize("name", ["ct_f32le_nanfill", "tc_f32be", "ct_f64be_prdn", "ct_i16", "tc_i32_exact",
                                  "ct_f32_nonfinite", "tc_f64be_nonfinite", "5d_f32_mid_axis"])
def test_h5dump_reads_the_same_values(written, read_back, name, tmp_path):
    h5dump = need_tool("h5dump")
    path, all_cases = written
    out = tmp_path / "dump.bin"
    res = subprocess.run([h5dump, "-d", f"/{name}", "-b", "LE", "-o", str(out), str(path)], capture_output=True,
                         text=True, env={**plugin_env(), "PATH": "/usr/bin:/bin"}, timeout=60)
    assert res.returncode == 0, res.stdout + res.stderr
    expected = read_back[0][name]
    dumped = np.fromfile(out, dtype=expected.dtype.newbyteorder("<")).reshape(expected.shape)
    assert same_bits(dumped, expected)
