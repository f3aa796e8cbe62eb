"""Helpers for the archive tests: the records come from
examples/make_records.py (built with the reader libraries' own writers from
the shared recordings, or from the example ECG minute without them); the
checks compare converted stores with their sources."""

from __future__ import annotations

import filecmp
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

from make_records import EXAMPLE, build_archive, shared_signal, to_digital  # noqa: F401

REPO = Path(__file__).resolve().parents[3]


# Checks on converted stores

def decoded(store, record, array=None):
    """Physical samples of one stored array (float64, NaN where missing)
    and its attributes; without `array`, of every channel of a one-rate
    record in the record's order, with the arrays' per-channel attributes
    merged in that order."""
    import zarr
    from vantoresk_archive.read import physical

    group = zarr.open_group(str(store), mode="r")[record]
    if array is not None:
        arr = group[array]
        return physical(arr[...], dict(arr.attrs)), dict(arr.attrs)
    rows, attrs = [], {}
    for c in group.attrs["channels"]:
        arr = group[c["array"]]
        a = dict(arr.attrs)
        rows.append(physical(arr[c["row"]], a, c["row"]))
        attrs["sampling_rate"] = a["sampling_rate"]
        for key in ("channel_names", "units", "adc_step", "source_bits", "max_abs_error", "prdn"):
            attrs.setdefault(key, []).append(a[key][c["row"]])
    return np.stack(rows), attrs


def same_tree(a: Path, b: Path) -> bool:
    """Every file of two stores' records identical, byte for byte."""
    files_a = sorted(p.relative_to(a) for p in a.rglob("*") if p.is_file())
    files_b = sorted(p.relative_to(b) for p in b.rglob("*") if p.is_file())
    assert files_a == files_b
    return all(filecmp.cmp(a / f, b / f, shallow=False) for f in files_a)


def run_cli(*args, cwd=None):
    """`python -m vantoresk_archive ARGS` with stderr off the terminal."""
    return subprocess.run([sys.executable, "-m", "vantoresk_archive", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, env=dict(os.environ), timeout=300)


def within_target(source: np.ndarray, dec: np.ndarray, target: float) -> bool:
    """The codec bounds the error against the float32 input; allow the
    rounding of the float64 source to float32 on top."""
    slack = np.abs(source) * 2.0 ** -24
    return bool(np.all(np.abs(dec.astype(np.float64) - source) <= target + slack))
