#!/usr/bin/env python3
"""A 2-channel ECG in an NWB file on HDF5, its ElectricalSeries coded by the vantoresk filter.

NWB stores raw electrophysiology as integers: the ADC counts go in as int16
through pynwb's `H5DataIO` with the filter (lanes along time, axis 0, at most
one count of error), with `conversion` to volts. A fresh process then opens
the file with `NWBHDF5IO` and checks every sample. Needs
`pip install vantoresk[hdf5,nwb]`.

    python examples/nwb_hdf5.py [--store FILE.nwb] [--seconds N]
"""

from __future__ import annotations

import datetime
import os
import subprocess
import sys
import tempfile
import warnings

import numpy as np

import recording
import vantoresk_hdf5  # registers the filter, so hdmf accepts it
from vantoresk_hdf5 import VantoreskFilter

MAX_COUNTS = 1  # largest error, in ADC counts


def write(path: str, counts_tc: np.ndarray) -> None:
    from hdmf.backends.hdf5.h5_utils import H5DataIO
    from pynwb import NWBHDF5IO, NWBFile
    from pynwb.ecephys import ElectricalSeries

    nwb = NWBFile(session_description="MIT-BIH record 100, two ECG leads", identifier="mitdb100",
                  session_start_time=datetime.datetime(1975, 1, 1, tzinfo=datetime.timezone.utc))
    device = nwb.create_device(name="Holter")
    group = nwb.create_electrode_group(name="leads", description="ECG leads", location="chest", device=device)
    for lead in recording.LEADS:
        nwb.add_electrode(group=group, location=lead)
    # The filter object is also its filter ID, the only kind of plugin
    # filter hdmf takes; h5py finds the parameters on it.
    with warnings.catch_warnings():  # hdmf's note that a plugin filter is not gzip
        warnings.filterwarnings("ignore", message=".*compression may not be available", category=UserWarning)
        data = H5DataIO(counts_tc, chunks=(min(60 * recording.FS_HZ, len(counts_tc)), 2), allow_plugin_filters=True,
                        compression=VantoreskFilter(max_abs_error=MAX_COUNTS, axis=0))
    nwb.add_acquisition(ElectricalSeries(
        name="ecg", data=data, electrodes=nwb.create_electrode_table_region([0, 1], "both leads"),
        rate=float(recording.FS_HZ), conversion=recording.ADC_STEP_MV / 1000.0))
    with NWBHDF5IO(path, "w") as io:
        io.write(nwb)


def read(path: str, expected_path: str) -> int:
    """Runs in a fresh process: open with NWBHDF5IO and compare with the source counts."""
    from pynwb import NWBHDF5IO

    expected = np.load(expected_path)
    with NWBHDF5IO(path, "r") as io:
        series = io.read().acquisition["ecg"]
        counts = series.data[:]
        window = series.data[recording.WINDOW, :]
        filters = series.data.id.get_create_plist().get_filter(0)
        volts = counts * series.conversion
    error = int(np.max(np.abs(counts.astype(np.int64) - expected)))
    print(f"read back in a fresh process: {counts.shape} {counts.dtype}, filter {filters[0]} "
          f"({filters[3].decode()}), largest error {error} counts (target {MAX_COUNTS}), "
          f"seconds 10-12 peak {np.max(np.abs(window)) * series.conversion * 1000:.3f} mV, "
          f"whole range {volts.min() * 1000:.3f} to {volts.max() * 1000:.3f} mV")
    return 0 if counts.dtype == np.int16 and error <= MAX_COUNTS else 1


def main() -> int:
    if len(sys.argv) == 4 and sys.argv[1] == "--read":
        return read(sys.argv[2], sys.argv[3])
    args, ecg, source = recording.command_line(__doc__)
    print(f"source: {source}")
    folder = tempfile.mkdtemp(prefix="vantoresk-nwb-")
    path = args.store or os.path.join(folder, "ecg.nwb")
    counts = np.round(ecg.T / recording.ADC_STEP_MV).astype(np.int16)
    expected = os.path.join(folder, "counts.npy")
    np.save(expected, counts)
    write(path, counts)
    print(f"file: {path} ({os.path.getsize(path)} bytes for {counts.nbytes} bytes of int16 samples)")
    res = subprocess.run([sys.executable, os.path.abspath(__file__), "--read", path, expected],
                         capture_output=True, text=True)
    sys.stdout.write(res.stdout)
    sys.stderr.write(res.stderr)
    return res.returncode


if __name__ == "__main__":
    sys.exit(main())
