"""Integer sample arrays (int16, int32) through the float lane codec: the
one place where the archive adapts the source's integers to it.

Encoding turns the chunk's integers into floats (float32 for int16, where
every value is exact; float64 for int32) with the missing-sample value as
NaN, so zarr's padding of a partial last chunk and the gaps of a record are
left out of the codec's range and error measures and come back exactly.
Decoding rounds to the nearest integer: with a whole-count error target k,
the decoded value is within k counts of the source's, so the rounded one is
too. The codec is stored by name ("vantoresk_counts") in each array's
metadata and found through the `zarr.codecs` entry point.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Tuple

import numpy as np

from vantoresk_zarr.zarr3_codec import VantoreskZarrCodec, _native_dtype, _common
from vantoresk_zarr.lanes import decode_lanes, encode_lanes
from vantoresk_zarr.settings import PARAMS, check_known

NAME = "vantoresk_counts"
INTEGER_DTYPES = ("int16", "int32")


@dataclass(frozen=True)
class VantoreskCountsCodec(VantoreskZarrCodec):
    """The lane codec for int16/int32 arrays; targets are in counts and
    `fill` is the integer that marks a missing sample (None: none does)."""

    fill: Optional[int] = None

    def __init__(self, *, fill: Optional[int] = None, **params: Any) -> None:
        super().__init__(**params)
        object.__setattr__(self, "fill", None if fill is None else int(fill))

    @classmethod
    def from_dict(cls, data: dict) -> "VantoreskCountsCodec":
        _, configuration = _common.parse_named_configuration(data, NAME, require_configuration=False)
        configuration = dict(configuration or {})
        fill = configuration.pop("fill", None)
        return cls(fill=fill, **check_known(configuration))

    def to_dict(self) -> dict:
        return {"name": NAME, "configuration": {**self._params(), "fill": self.fill}}

    def validate(self, *, shape: Tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        native = _native_dtype(dtype)
        if native.name not in INTEGER_DTYPES:
            raise ValueError(f"the vantoresk_counts codec stores int16 or int32 arrays, not {native}")
        super().validate(shape=shape, dtype=np.dtype(self._float(native)), chunk_grid=chunk_grid)

    @staticmethod
    def _float(native: np.dtype) -> str:
        return "float32" if native.itemsize <= 2 else "float64"

    def _encode_sync(self, chunk_array: Any, chunk_spec: Any) -> Any:
        ints = chunk_array.as_numpy_array()
        values = ints.astype(self._float(ints.dtype))
        if self.fill is not None:
            values[ints == self.fill] = np.nan
        params = {k: getattr(self, k) for k in PARAMS}
        for k in ("max_abs_error", "max_prdn"):
            if isinstance(params[k], tuple):
                params[k] = list(params[k])
        return chunk_spec.prototype.buffer.from_bytes(encode_lanes(values, **params))

    def _decode_sync(self, chunk_bytes: Any, chunk_spec: Any) -> Any:
        values = decode_lanes(chunk_bytes.as_numpy_array())
        want = _native_dtype(chunk_spec.dtype)
        if values.shape != tuple(chunk_spec.shape) or values.dtype.kind != "f":
            raise ValueError(f"vantoresk_counts chunk holds {values.dtype} {values.shape}, the array expects "
                             f"{want} {tuple(chunk_spec.shape)}")
        missing = np.isnan(values)
        info = np.iinfo(want)
        ints = np.clip(np.rint(np.where(missing, 0, values)), info.min, info.max).astype(want)
        if missing.any():
            ints[missing] = self.fill if self.fill is not None else 0
        return chunk_spec.prototype.nd_buffer.from_ndarray_like(ints)
