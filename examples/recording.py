"""The 2-channel recording of the storage examples: MIT-BIH record 100, leads MLII and V5.

The full 30 minutes come from the shared data folder when it is present
(found by data_folder.py: `$VANTORESK_DATA`, or `shared/data` beside the
checkout unless `$VANTORESK_NO_SHARED` is set); otherwise the first 60
seconds kept in examples/data are used.
"""

from __future__ import annotations

import argparse
import pathlib
from typing import Optional, Tuple

import numpy as np

from data_folder import data_folder

FS_HZ = 360
ADC_STEP_MV = 0.005  # 11-bit ADC, gain 200 per mV
LEADS = ("MLII", "V5")


def load(seconds: Optional[float] = None) -> Tuple[np.ndarray, str]:
    """A (2, samples) float32 array in mV, channels MLII and V5, and where it came from."""
    folder = data_folder("mitdb100_v5.npy")
    if folder.excerpts:
        names = ["mitdb100_mlii_60s.npy", "mitdb100_v5_60s.npy"]
    else:
        names = ["mitdb100_mlii.npy", "mitdb100_v5.npy"]
    where = str(folder.path)
    data = np.stack([np.load(pathlib.Path(where) / n) for n in names])
    if seconds is not None:
        data = data[:, : int(seconds * FS_HZ)]
    return np.ascontiguousarray(data), where


def command_line(doc: str, argv=None) -> Tuple[argparse.Namespace, np.ndarray, str]:
    """The examples' options (--store PATH, --seconds N) and the recording they ask for."""
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("--store", help="where to write the store (default: a temporary directory)")
    ap.add_argument("--seconds", type=float, help="use only the first N seconds")
    args = ap.parse_args(argv)
    ecg, source = load(args.seconds)
    return args, ecg, source


# Seconds 10 to 12, the slice every example reads back.
WINDOW = slice(10 * FS_HZ, 12 * FS_HZ)
