"""`compress` and `decompress` of single files: a 1-D .npy array becomes a
container (or a lane frame when a target is given, since a target may need
lossless lanes); N-D arrays become lane frames. Both decode back to .npy."""

from __future__ import annotations

from pathlib import Path
from typing import Optional

import numpy as np

from ._deps import require
from .info import MAGIC


def compress_file(src: str, out: str, *, method: str = "cdf97", scale: int = 11, cutoff: str = "low",
                  coder: str = "auto", max_abs_error: Optional[float] = None,
                  max_prdn: Optional[float] = None, axis: int = -1) -> int:
    """Compress a .npy file; returns the number of bytes written."""
    x = np.load(src, allow_pickle=False)
    if x.dtype.kind not in "fiu":
        raise ValueError(f"{src}: unsupported dtype {x.dtype} (expected numbers)")
    if x.dtype.kind != "f":
        x = x.astype(np.float64)
    if x.size == 0:
        raise ValueError(f"{src}: the array is empty")
    targets = max_abs_error is not None or max_prdn is not None
    if x.ndim == 1 and not targets:
        import vantoresk

        opts = vantoresk.VantrCompressionOptions(method, scale=scale, cutoff=cutoff, coder=coder)
        blob = vantoresk.compress_signal(np.ascontiguousarray(x), opts)
    else:
        lanes = require("vantoresk_zarr", "Compressing with a target or N-D arrays")
        blob = lanes.encode_lanes(x, axis=axis, method=method, scale=scale, cutoff=cutoff, coder=coder,
                                  max_abs_error=max_abs_error, max_prdn=max_prdn)
    Path(out).write_bytes(blob)
    return len(blob)


def decompress_file(src: str, out: str) -> np.ndarray:
    data = Path(src).read_bytes()
    if data[:4] == MAGIC:
        import vantoresk

        y = vantoresk.decompress_signal(data)
    else:
        lanes = require("vantoresk_zarr", "Decoding lane frames")
        try:
            y = lanes.decode_lanes(data)
        except ValueError as exc:
            raise ValueError(f"{src}: neither a container nor a lane frame ({exc})") from None
    np.save(out, y)
    return y
