"""The lane codec as a Zarr v3 array-to-bytes codec (the `serializer=` slot), named "vantoresk".

Use it with `compressors=None`: the entropy coding is inside. Zarr finds it
through the `zarr.codecs` entry point; nothing is registered at import. The
codec is a frozen dataclass of plain values, so it pickles and travels to
worker processes.
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass
from typing import Any, Optional, Tuple

import numpy as np

from ._extras import require
from .lanes import SUPPORTED, check_array, decode_lanes, encode_lanes
from .settings import PARAMS, Target, check_codec_params, check_known, check_lane_count, resolve_axis

_codec = require("zarr.abc.codec")
_common = require("zarr.core.common")

NAME = "vantoresk"


def _native_dtype(dtype: Any) -> np.dtype:
    """NumPy dtype of a Zarr dtype object (zarr 3.1+) or of anything NumPy understands."""
    to_native = getattr(dtype, "to_native_dtype", None)
    return np.dtype(to_native() if to_native is not None else dtype)


@dataclass(frozen=True)
class VantoreskZarrCodec(_codec.ArrayBytesCodec):
    """Coding of float and integer chunks, lane by lane along `axis`, within an error target if given.

    Parameters as for the numcodecs codec: `method`, `scale`, `cutoff`,
    `coder`, `axis`, and the targets `max_abs_error` or `max_prdn` (a number,
    or a list with one value per lane of a chunk).
    """

    method: str = "cdf97"
    scale: int = 11
    cutoff: str = "low"
    coder: str = "auto"
    axis: int = -1
    max_abs_error: Target = None
    max_prdn: Target = None
    is_fixed_size = False

    def __init__(self, *, method: str = "cdf97", scale: int = 11, cutoff: str = "low", coder: Optional[str] = "auto",
                 axis: int = -1, max_abs_error: Any = None, max_prdn: Any = None) -> None:
        params = check_codec_params(method, scale, cutoff, coder, axis, max_abs_error, max_prdn)
        for name, value in params.items():
            # Lists become tuples so the frozen object stays hashable.
            object.__setattr__(self, name, tuple(value) if isinstance(value, list) else value)

    @classmethod
    def from_dict(cls, data: dict) -> "VantoreskZarrCodec":
        _, configuration = _common.parse_named_configuration(data, NAME, require_configuration=False)
        return cls(**check_known(configuration or {}))

    def to_dict(self) -> dict:
        return {"name": NAME, "configuration": self._params()}

    def _params(self) -> dict:
        out = {}
        for name in PARAMS:
            value = getattr(self, name)
            out[name] = list(value) if isinstance(value, tuple) else value
        return out

    def validate(self, *, shape: Tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        native = _native_dtype(dtype)
        try:
            check_array(np.empty(0, native))
        except ValueError:
            raise ValueError(f"the vantoresk codec stores {SUPPORTED} arrays, not {native}") from None
        axis = resolve_axis(self.axis, len(shape))
        chunk_shape = getattr(chunk_grid, "chunk_shape", None)
        if chunk_shape is not None:
            lanes = int(np.prod([d for i, d in enumerate(chunk_shape) if i != axis], dtype=np.int64))
            check_lane_count(self.max_abs_error, lanes, "max_abs_error")
            check_lane_count(self.max_prdn, lanes, "max_prdn")

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: Any) -> int:
        raise NotImplementedError("vantoresk chunks vary in size")

    def _encode_sync(self, chunk_array: Any, chunk_spec: Any) -> Any:
        frame = encode_lanes(chunk_array.as_numpy_array(), **self._params())
        return chunk_spec.prototype.buffer.from_bytes(frame)

    def _decode_sync(self, chunk_bytes: Any, chunk_spec: Any) -> Any:
        # A frame that does not fit the chunk is refused before anything is allocated.
        want = (tuple(chunk_spec.shape), _native_dtype(chunk_spec.dtype))
        arr = decode_lanes(chunk_bytes.as_numpy_array(), expect=want)
        return chunk_spec.prototype.nd_buffer.from_ndarray_like(arr)

    async def _encode_single(self, chunk_array: Any, chunk_spec: Any) -> Any:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    async def _decode_single(self, chunk_bytes: Any, chunk_spec: Any) -> Any:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)
