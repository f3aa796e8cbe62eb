#!/usr/bin/env python3
"""A 2-channel ECG in a Zarr v2 store through the numcodecs codec, read back by slice.

The same recording and targets as zarr_v3.py, written in the older format
that tools built on numcodecs read. Needs `pip install vantoresk[zarr]`.

    python examples/zarr_v2.py [--store PATH] [--seconds N]
"""

from __future__ import annotations

import tempfile

import numpy as np
import zarr

import recording
from vantoresk_zarr import VantoreskCodec


def main(argv=None) -> int:
    args, ecg, source = recording.command_line(__doc__, argv)
    step = recording.ADC_STEP_MV

    with tempfile.TemporaryDirectory() as tmp:
        path = args.store or f"{tmp}/ecg_v2.zarr"
        codec = VantoreskCodec(max_abs_error=[step, step])
        arr = zarr.create_array(path, shape=ecg.shape, dtype="float32", chunks=(2, 60 * recording.FS_HZ),
                                compressors=codec, fill_value=0.0, zarr_format=2)
        arr[:] = ecg

        # A fresh reader finds the codec by its id through numcodecs' entry points.
        reread = zarr.open_array(path, mode="r")
        window = recording.WINDOW
        part = reread[:, window]
        whole = reread[:]
        err = np.max(np.abs(whole.astype(np.float64) - ecg))
        assert np.array_equal(part, whole[:, window])
        assert err <= step, err
        print(f"source: {source}")
        print(f"Zarr v2, codec config {reread.metadata.compressor.get_config()}")
        print(f"largest error {err:.5f} mV (target {step} mV); slice {part.shape} read back")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
