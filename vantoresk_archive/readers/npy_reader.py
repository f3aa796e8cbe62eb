"""NumPy .npy arrays as records, read block by block from the file so only
the block being converted is ever in memory (a memory map would keep every
page it touched resident). A 1-D array is one channel; a 2-D array is
channels x time, the layout of the stored arrays. Float arrays stay in
their own precision; integers up to 32 bits are stored as integers."""

from __future__ import annotations

import os
from typing import Optional

import numpy as np

from . import RecordError, SignalGroup, record_name


class NpyReader:
    format = "npy"

    def __init__(self, path: str, *, sampling_rate: Optional[float] = None) -> None:
        self.path = str(path)
        self.name = record_name(self.path)
        try:
            with open(self.path, "rb") as f:
                version = np.lib.format.read_magic(f)
                read_header = (np.lib.format.read_array_header_1_0 if version == (1, 0)
                               else np.lib.format.read_array_header_2_0)
                shape, fortran, dtype = read_header(f)
                self._offset = f.tell()
        except (ValueError, OSError, EOFError) as exc:
            raise RecordError(self.path, f"not a readable .npy array ({exc})") from None
        if dtype.hasobject:
            raise RecordError(self.path, "arrays of Python objects are not read")
        if len(shape) == 1:
            shape, fortran = (1, shape[0]), False
        if len(shape) != 2:
            raise RecordError(self.path, f"expected a 1-D or 2-D array (channels x time), got {len(shape)}-D")
        kind = dtype.kind
        scale = offset = None
        if kind == "f":
            steps, bits = None, None
            stored = "float64" if dtype.itemsize > 4 else "float32"
        elif kind in "iu":
            steps, bits = 1.0, dtype.itemsize * 8
            if dtype.itemsize <= 2 and dtype != np.uint16:
                stored = "int16"
            elif dtype.itemsize <= 4 and dtype != np.uint32:
                stored = "int32"
            else:  # exact as float64 while below 2^53
                stored = "float64"
            if stored.startswith("int"):
                scale, offset = 1.0, 0.0
        else:
            raise RecordError(self.path, f"unsupported dtype {dtype} (expected floats or integers)")
        if sampling_rate is not None and not (sampling_rate > 0):
            raise RecordError(self.path, "the sampling rate must be positive")
        need = self._offset + shape[0] * shape[1] * dtype.itemsize
        if os.path.getsize(self.path) < need:
            raise RecordError(self.path, f"truncated .npy file (the header needs {need} bytes)")
        self._shape, self._fortran, self._dtype = shape, fortran, dtype
        n_ch = shape[0]
        self.groups = (
            SignalGroup(
                name="signals",
                sampling_rate=None if sampling_rate is None else float(sampling_rate),
                channels=tuple(f"ch{i}" for i in range(n_ch)) if n_ch > 1 else (self.name,),
                units=("",) * n_ch,
                adc_step=(steps,) * n_ch,
                source_bits=(bits,) * n_ch,
                n_samples=int(shape[1]),
                dtype=stored, scale_factor=scale, add_offset=offset, index=tuple(range(n_ch)),
                facts=({"dtype": dtype.str},) * n_ch,
            ),
        )
        self.start_time = None
        self.comments = []
        self.header = {"dtype": dtype.str, "shape": [int(d) for d in shape]}

    def read(self, group: int, start: int, stop: int) -> np.ndarray:
        return self._read(start, stop).astype(np.float64)

    def read_stored(self, group: int, start: int, stop: int) -> np.ndarray:
        return self._read(start, stop).astype(self.groups[0].dtype)

    def annotations(self) -> list:
        return []

    def _read(self, start: int, stop: int) -> np.ndarray:
        n_ch, n = self._shape
        size = self._dtype.itemsize
        with open(self.path, "rb") as f:
            if self._fortran:  # time-major on disk: the block is one run
                f.seek(self._offset + start * n_ch * size)
                block = np.fromfile(f, self._dtype, (stop - start) * n_ch).reshape(stop - start, n_ch).T
            else:  # one run per channel
                block = np.empty((n_ch, stop - start), self._dtype)
                for c in range(n_ch):
                    f.seek(self._offset + (c * n + start) * size)
                    block[c] = np.fromfile(f, self._dtype, stop - start)
        return block

    def close(self) -> None:
        pass
