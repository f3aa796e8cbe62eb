#!/usr/bin/env python3
"""A 2-channel ECG in an HDF5 file with h5py, each chunk coded by the vantoresk filter.

Writes the recording twice: as (channel, time) float32 in mV with the filter
applied by h5py, and as (time, channel) int16 ADC counts written on several
threads with `write_parallel`. Then reads two seconds back by slice, checks
the error target and prints the sizes. Needs `pip install vantoresk[hdf5]`.
Other programs read the file through the plugin folder:

    HDF5_PLUGIN_PATH=$(python -c "import vantoresk_hdf5; print(vantoresk_hdf5.PLUGIN_PATH)") h5dump -d ecg_mv FILE

    python examples/hdf5_h5py.py [--store FILE.h5] [--seconds N]
"""

from __future__ import annotations

import os
import sys
import tempfile

import h5py
import numpy as np

import recording
import vantoresk_hdf5
from vantoresk_hdf5 import VantoreskFilter


def write(path: str, ecg: np.ndarray) -> None:
    step = recording.ADC_STEP_MV
    minute = min(60 * recording.FS_HZ, ecg.shape[1])  # a minute per chunk (or all of a shorter record)
    with h5py.File(path, "w") as f:
        # (channel, time): lanes along the last axis, one per channel and chunk.
        f.create_dataset("ecg_mv", data=ecg, chunks=(2, minute), fillvalue=np.nan,
                         **VantoreskFilter(max_abs_error=step))
        # (time, channel) ADC counts, lanes along axis 0, exact (0 counts of error).
        counts = np.round(ecg.T / step).astype(np.int16)
        dset = f.create_dataset("ecg_counts", shape=counts.shape, dtype=np.int16, chunks=(minute, 2),
                                **VantoreskFilter(max_abs_error=0, axis=0))
        vantoresk_hdf5.write_parallel(dset, counts, workers=2)
        dset.attrs["units"] = "mV"
        dset.attrs["scale_factor"] = step


def main() -> int:
    args, ecg, source = recording.command_line(__doc__)
    print(f"source: {source}")
    path = args.store or os.path.join(tempfile.mkdtemp(prefix="vantoresk-hdf5-"), "ecg.h5")
    write(path, ecg)
    window = recording.WINDOW
    with h5py.File(path, "r") as f:
        mv = f["ecg_mv"][:, window]
        counts = f["ecg_counts"][window, :]
        stored = sum(f[n].id.get_storage_size() for n in ("ecg_mv", "ecg_counts"))
    error = float(np.max(np.abs(mv.astype(np.float64) - ecg[:, window])))
    exact = np.array_equal(counts, np.round(ecg[:, window].T / recording.ADC_STEP_MV).astype(np.int16))
    print(f"file: {path} ({os.path.getsize(path)} bytes, chunks {stored} bytes for "
          f"{ecg.nbytes + ecg.size * 2} bytes of float32 and int16 samples)")
    print(f"seconds 10-12, mV: largest error {error:.6f} mV (target {recording.ADC_STEP_MV} mV)")
    print(f"seconds 10-12, counts: {'exact' if exact else 'NOT EXACT'}")
    return 0 if error <= recording.ADC_STEP_MV and exact else 1


if __name__ == "__main__":
    sys.exit(main())
