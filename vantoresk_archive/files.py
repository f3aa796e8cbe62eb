"""`compress` and `decompress` of single files. An array becomes a lane frame,
which ends in a CRC-32, so a damaged file is refused instead of decoding to
other samples; with `bare`, a 1-D array at fixed settings becomes a bare
container instead (no checksum: most damage goes unnoticed). Both decode
back to .npy."""

from __future__ import annotations

from pathlib import Path
from typing import Optional

import numpy as np

import vantoresk_zarr

from .info import MAGIC


def compress_file(src: str, out: str, *, method: str = "cdf97", scale: int = 11, cutoff: str = "low",
                  coder: str = "auto", max_abs_error: Optional[float] = None,
                  max_prdn: Optional[float] = None, axis: int = -1, bare: bool = False) -> int:
    """Compress a .npy file; returns the number of bytes written."""
    x = np.load(src, allow_pickle=False)
    if x.dtype.kind not in "fiu":
        raise ValueError(f"{src}: unsupported dtype {x.dtype} (expected numbers)")
    if x.dtype.kind != "f":
        x = x.astype(np.float64)
    if x.size == 0:
        raise ValueError(f"{src}: the array is empty")
    targets = max_abs_error is not None or max_prdn is not None
    if bare:
        if x.ndim != 1 or targets:
            raise ValueError(f"{src}: a bare container holds one 1-D array at fixed settings; "
                             "a target or an N-D array needs a lane frame (leave out --bare)")
        import vantoresk

        opts = vantoresk.VantrCompressionOptions(method, scale=scale, cutoff=cutoff, coder=coder)
        blob = vantoresk.compress_signal(np.ascontiguousarray(x), opts)
    else:
        blob = vantoresk_zarr.encode_lanes(x, axis=axis, method=method, scale=scale, cutoff=cutoff, coder=coder,
                                           max_abs_error=max_abs_error, max_prdn=max_prdn)
    Path(out).write_bytes(blob)
    return len(blob)


def decompress_file(src: str, out: str) -> np.ndarray:
    data = Path(src).read_bytes()
    if data[:4] == MAGIC:
        import vantoresk

        y = vantoresk.decompress_signal(data)
    else:
        try:
            y = vantoresk_zarr.decode_lanes(data)
        except ValueError as exc:
            raise ValueError(f"{src}: neither a container nor a lane frame ({exc})") from None
    np.save(out, y)
    return y
