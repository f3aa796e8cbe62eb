#!/usr/bin/env python3
"""A 2-channel ECG in a Zarr v3 store with the vantoresk codec, read back by slice.

Each channel carries its own error target, the ADC step of the recording:
every decoded sample lies within one ADC step of the original, whatever the
chunk's range. Needs `pip install vantoresk[zarr]`.

    python examples/zarr_v3.py [--store PATH] [--seconds N]
"""

from __future__ import annotations

import pathlib
import tempfile

import numpy as np
import zarr

import recording
from vantoresk_zarr import VantoreskZarrCodec


def main(argv=None) -> int:
    args, ecg, source = recording.command_line(__doc__, argv)
    step = recording.ADC_STEP_MV

    with tempfile.TemporaryDirectory() as tmp:
        path = args.store or f"{tmp}/ecg.zarr"
        codec = VantoreskZarrCodec(max_abs_error=[step, step])  # one target per channel (lane)
        arr = zarr.create_array(path, shape=ecg.shape, dtype="float32", chunks=(2, 60 * recording.FS_HZ),
                                serializer=codec, compressors=None, fill_value=0.0, zarr_format=3)
        arr[:] = ecg  # whole chunks: a partial write would decode and re-encode a chunk
        arr.attrs.update(fs_hz=recording.FS_HZ, units="mV", leads=list(recording.LEADS))

        reread = zarr.open_array(path, mode="r")
        window = recording.WINDOW
        part = reread[:, window]
        whole = reread[:]
        stored = sum(p.stat().st_size for p in pathlib.Path(path).rglob("c/**/*") if p.is_file())
        err = np.max(np.abs(whole.astype(np.float64) - ecg))
        assert part.shape == (2, window.stop - window.start) and np.array_equal(part, whole[:, window])
        assert err <= step, err
        print(f"source: {source}")
        print(f"{ecg.shape[1]} samples x 2 channels, {ecg.nbytes} bytes as float32, {stored} bytes stored "
              f"({ecg.nbytes / stored:.1f}x)")
        print(f"largest error {err:.5f} mV (target {step} mV); slice {part.shape} read back")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
