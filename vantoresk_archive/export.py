"""Decoded samples back out of a store: .npy (channels x time, float32),
or WFDB and EDF records written by their reader libraries."""

from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Optional

import numpy as np

from ._deps import require
from . import store as st

FORMATS = ("npy", "wfdb", "edf")


def open_record_array(store: str, record: str, array: Optional[str] = None):
    from .readback import array_names, open_record

    st.open_root(store, create=False)
    if not st.is_complete(store, record):
        known = ", ".join(st.record_names(store)) or "none"
        raise KeyError(f"no record {record!r} in {store} (records: {known})")
    group = open_record(store, record)
    names = array_names(store, record, group)
    if array is None:
        if len(names) != 1:
            raise KeyError(f"record {record!r} has several arrays ({', '.join(names)}): choose one with --array")
        array = names[0]
    if array not in names:
        raise KeyError(f"record {record!r} has no array {array!r} (arrays: {', '.join(names)})")
    from .readback import record_arrays

    return next(arr for aname, arr, _ in record_arrays(store, record) if aname == array)


def export_record(store: str, record: str, out: str, *, fmt: str = "npy", array: Optional[str] = None) -> str:
    """Write the decoded record to `out`; returns the path written."""
    arr = open_record_array(store, record, array)
    attrs = dict(arr.attrs)
    data = arr[...]
    if fmt == "npy":
        np.save(out, data)
        return out if out.endswith(".npy") else out + ".npy"
    fs = attrs.get("sampling_rate")
    if not fs:
        raise ValueError(f"record {record!r} has no sampling rate; export it as npy")
    names = [str(n) for n in attrs.get("channel_names", [])]
    units = [str(u) or "NU" for u in attrs.get("units", [])]
    if fmt == "wfdb":
        return _write_wfdb(out, data, fs, names, units)
    if fmt == "edf":
        return _write_edf(out, data, fs, names, units)
    raise ValueError(f"unknown export format {fmt!r} (choose from {', '.join(FORMATS)})")


def _write_wfdb(out: str, data: np.ndarray, fs: float, names: list, units: list) -> str:
    wfdb = require("wfdb", "Writing WFDB records")
    folder, rec = os.path.split(out[:-4] if out.endswith(".hea") else out)
    folder = folder or "."
    os.makedirs(folder, exist_ok=True)
    p = data.T.astype(np.float64)
    wfdb.wrsamp(rec, fs=float(fs), units=units, sig_name=names, p_signal=p,
                fmt=["16"] * data.shape[0], write_dir=folder)
    return os.path.join(folder, rec + ".hea")


def _write_edf(out: str, data: np.ndarray, fs: float, names: list, units: list) -> str:
    pyedflib = require("pyedflib", "Writing EDF files")
    headers, digital = [], []
    for i in range(data.shape[0]):
        x = data[i].astype(np.float64)
        fin = x[np.isfinite(x)]
        lo, hi = (float(fin.min()), float(fin.max())) if fin.size else (-1.0, 1.0)
        if hi <= lo:
            lo, hi = lo - 1.0, hi + 1.0
        lo, hi = _edf_bound(lo, math.floor), _edf_bound(hi, math.ceil)
        headers.append(pyedflib.highlevel.make_signal_header(
            names[i][:16], dimension=units[i][:8], sample_frequency=float(fs),
            physical_min=lo, physical_max=hi, digital_min=-32768, digital_max=32767))
        # Rounded to the nearest step here: the library's own conversion truncates.
        step = (hi - lo) / 65535.0
        d = np.round((np.nan_to_num(x, nan=lo, posinf=hi, neginf=lo) - lo) / step) - 32768
        digital.append(np.clip(d, -32768, 32767).astype(np.int32))
    pyedflib.highlevel.write_edf(out, digital, headers, digital=True)
    return out


def _edf_bound(v: float, direction) -> float:
    """`v` rounded outward to the most decimals that fit EDF's 8-character
    physical range fields, so the header holds exactly the range used."""
    for decimals in range(7, -1, -1):
        r = direction(v * 10 ** decimals) / 10 ** decimals
        if len(f"{r:.{decimals}f}".rstrip("0").rstrip(".")) <= 8:
            return r
    raise ValueError(f"a physical value of {v:g} does not fit an EDF header")
