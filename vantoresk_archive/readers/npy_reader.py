"""NumPy .npy arrays as records, memory-mapped so only the block being
converted is read. A 1-D array is one channel; a 2-D array is channels x
time, the layout of the stored arrays."""

from __future__ import annotations

from typing import Optional

import numpy as np

from . import RecordError, SignalGroup, record_name


class NpyReader:
    format = "npy"

    def __init__(self, path: str, *, sampling_rate: Optional[float] = None) -> None:
        self.path = str(path)
        self.name = record_name(self.path)
        try:
            data = np.load(self.path, mmap_mode="r", allow_pickle=False)
        except (ValueError, OSError, EOFError) as exc:
            raise RecordError(self.path, f"not a readable .npy array ({exc})") from None
        if data.ndim == 1:
            data = data.reshape(1, -1)
        if data.ndim != 2:
            raise RecordError(self.path, f"expected a 1-D or 2-D array (channels x time), got {data.ndim}-D")
        kind = data.dtype.kind
        if kind == "f":
            steps, bits = None, None
        elif kind in "iu":
            steps, bits = 1.0, data.dtype.itemsize * 8
        else:
            raise RecordError(self.path, f"unsupported dtype {data.dtype} (expected floats or integers)")
        if sampling_rate is not None and not (sampling_rate > 0):
            raise RecordError(self.path, "the sampling rate must be positive")
        self._data = data
        n_ch = data.shape[0]
        self.groups = (
            SignalGroup(
                name="signals",
                sampling_rate=None if sampling_rate is None else float(sampling_rate),
                channels=tuple(f"ch{i}" for i in range(n_ch)) if n_ch > 1 else (self.name,),
                units=("",) * n_ch,
                adc_step=(steps,) * n_ch,
                source_bits=(bits,) * n_ch,
                n_samples=int(data.shape[1]),
            ),
        )

    def read(self, group: int, start: int, stop: int) -> np.ndarray:
        return np.asarray(self._data[:, start:stop], dtype=np.float64)

    def close(self) -> None:
        self._data = None
