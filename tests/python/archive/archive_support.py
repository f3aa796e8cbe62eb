"""Small WFDB and EDF/BDF records built with the reader libraries' own
writers from the shared recordings (or, where those are absent, from the
ECG minute committed in examples/data)."""

from __future__ import annotations

import filecmp
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[3]
SHARED = REPO.parent.parent / "shared" / "data" if (REPO.parent.parent / "shared" / "data").is_dir() \
    else Path("/work/shared/data")
EXAMPLE = REPO / "examples" / "data" / "mitdb100_mlii_60s.npy"


def shared_signal(name: str, n: int) -> np.ndarray:
    """`n` samples of a shared recording, or of the example ECG minute
    (made distinct per name) when the shared folder is absent."""
    path = SHARED / f"{name}.npy"
    if path.is_file():
        return np.load(path)[:n].astype(np.float64)
    x = np.load(EXAMPLE).astype(np.float64)
    x = np.resize(np.roll(x, 997 * (sum(map(ord, name)) % 50)), n)
    return x


@dataclass
class Built:
    path: Path  # what to hand the converter
    channels: list
    fs: float
    adc_step: list
    physical: np.ndarray  # channels x time, the samples as the library reads them back


def to_digital(x: np.ndarray, gain: float, baseline: int, bits: int) -> np.ndarray:
    lo, hi = -(1 << (bits - 1)) + 1, (1 << (bits - 1)) - 1  # the lowest value marks a missing sample
    return np.clip(np.round(x * gain + baseline), lo, hi).astype(np.int64)


def wfdb_record(folder: Path, name: str, signals: dict, *, fs: float, gain: float, baseline: int,
                fmt: str, units: str = "mV") -> Built:
    """A WFDB record of format 212 (12-bit) or 16 from physical signals."""
    import wfdb

    bits = {"212": 12, "16": 16, "80": 8}[fmt]
    names = list(signals)
    digital = np.stack([to_digital(signals[k], gain, baseline, bits) for k in names], axis=1)
    wfdb.wrsamp(name, fs=fs, units=[units] * len(names), sig_name=names, d_signal=digital,
                fmt=[fmt] * len(names), adc_gain=[gain] * len(names), baseline=[baseline] * len(names),
                write_dir=str(folder))
    physical = ((digital - baseline) / gain).T
    return Built(folder / f"{name}.hea", names, fs, [1.0 / gain] * len(names), physical)


def edf_record(folder: Path, name: str, signals: dict, *, fs: float, units: str = "uV", bdf: bool = False) -> Built:
    """An EDF+ (16-bit) or BDF+ (24-bit) file; its physical ranges come
    from the signals, so each channel has its own ADC step."""
    import pyedflib
    from pyedflib import highlevel

    dmax = (1 << 23) - 1 if bdf else 32767
    headers, steps = [], []
    for label, x in signals.items():
        lo, hi = float(np.floor(x.min())) - 1.0, float(np.ceil(x.max())) + 1.0
        headers.append(highlevel.make_signal_header(label, dimension=units, sample_frequency=fs,
                                                    physical_min=lo, physical_max=hi,
                                                    digital_min=-dmax - 1, digital_max=dmax))
        steps.append((hi - lo) / (2 * dmax + 1))
    path = folder / (name + (".bdf" if bdf else ".edf"))
    ftype = pyedflib.FILETYPE_BDFPLUS if bdf else pyedflib.FILETYPE_EDFPLUS
    highlevel.write_edf(str(path), [np.asarray(x) for x in signals.values()], headers, file_type=ftype)
    with pyedflib.EdfReader(str(path)) as r:
        physical = np.stack([r.readSignal(i) for i in range(r.signals_in_file)])
    return Built(path, list(signals), fs, steps, physical)


def build_archive(folder: Path, seconds: float = 20.0) -> dict:
    """Four records in `folder`: 11-bit ECG in format 212, 16-bit ECG in
    format 16, 16-bit EEG in EDF+ and the same EEG in 24-bit BDF+."""
    folder.mkdir(parents=True, exist_ok=True)
    n360, n1k, n500 = int(360 * seconds), int(1000 * seconds), int(500 * seconds)
    eeg = {k: shared_signal(f"eegmat_s00r1_{k.lower()}", n500) for k in ("Fz", "Cz", "O1")}
    return {
        "mitdb100": wfdb_record(folder, "mitdb100", {
            "MLII": shared_signal("mitdb100_mlii", n360), "V5": shared_signal("mitdb100_v5", n360)},
            fs=360, gain=200, baseline=1024, fmt="212"),
        "s0010_re": wfdb_record(folder, "s0010_re", {
            k: shared_signal(f"ptbdb_s0010re_{k}", n1k) for k in ("ii", "v2", "vx")},
            fs=1000, gain=2000, baseline=0, fmt="16"),
        "eeg_edf": edf_record(folder, "eeg_edf", eeg, fs=500),
        "eeg_bdf": edf_record(folder, "eeg_bdf", eeg, fs=500, bdf=True),
    }


# Checks on converted stores

def decoded(store, record, array="signals"):
    import zarr

    arr = zarr.open_group(str(store), mode="r")[record][array]
    return arr[...], dict(arr.attrs)


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
