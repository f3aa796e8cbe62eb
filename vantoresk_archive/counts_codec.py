"""Integer sample arrays (int16, int32) with a missing-sample value through
the lane codec, without ever turning a missing sample into a valid one or
a valid one into a missing one.

The lane codec codes integer lanes within a target in counts, but knows no
missing-sample value: a gap of the fill value could come back one count
off (and read as a sample), a sample next to it could land on it (and read
as a gap). So a chunk goes to the codec as integers only when it holds no
fill value and no sample within the target of it; otherwise its values go
as floats with the fill value as NaN (runs of NaN come back exactly; the
padding of a partial last chunk is a run too), and decoding rounds them
back to integers: within a whole-count target k the decoded value is within
k counts of the source's, so the rounded one is too. The codec is stored
by name ("vantoresk_counts") in each array's metadata and found through the
`zarr.codecs` entry point.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Tuple

import numpy as np

from vantoresk_zarr.info import inspect_frame
from vantoresk_zarr.lanes import decode_lanes, encode_lanes
from vantoresk_zarr.settings import check_known
from vantoresk_zarr.vocabulary import prdn
from vantoresk_zarr.zarr3_codec import VantoreskZarrCodec, _common, _native_dtype

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
        if fill is not None and not isinstance(fill, int):
            raise TypeError(f"vantoresk_counts: fill must be a whole number, not {fill!r}")
        return cls(fill=fill, **check_known(configuration))

    def to_dict(self) -> dict:
        return {"name": NAME, "configuration": {**self._params(), "fill": self.fill}}

    def validate(self, *, shape: Tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        native = _native_dtype(dtype)
        if native.name not in INTEGER_DTYPES:
            raise ValueError(f"the vantoresk_counts codec stores int16 or int32 arrays, not {native}")
        super().validate(shape=shape, dtype=dtype, chunk_grid=chunk_grid)

    def _as_integers(self, ints: np.ndarray) -> bool:
        """Whether the chunk can go to the codec as integers: no fill value
        in it and, within an absolute target of k counts, no sample within
        k of it (without one the error has no bound in counts)."""
        if self.fill is None or ints.size == 0:
            return True
        if self.max_abs_error is None:
            return False
        k = max(self.max_abs_error) if isinstance(self.max_abs_error, tuple) else self.max_abs_error
        return not np.any(np.abs(ints.astype(np.int64) - self.fill) <= k)

    def _encode_sync(self, chunk_array: Any, chunk_spec: Any) -> Any:
        ints = chunk_array.as_numpy_array()
        params = self._params()
        if self._as_integers(ints):
            return chunk_spec.prototype.buffer.from_bytes(encode_lanes(ints, **params))
        values = ints.astype("float32" if ints.dtype.itemsize <= 2 else "float64")
        missing = ints == self.fill
        values[missing] = np.nan
        frame = encode_lanes(values, **params)
        if self.max_prdn is not None:
            frame = self._rounded_within_prdn(frame, ints, values, missing, params)
        return chunk_spec.prototype.buffer.from_bytes(frame)

    def _rounded_within_prdn(self, frame: bytes, ints: np.ndarray, values: np.ndarray, missing: np.ndarray,
                             params: dict) -> bytes:
        """A float frame whose lanes meet the PRDN target after decoding
        rounds them back to counts (the codec checked them before the
        rounding, which adds up to half a count per sample): the frame as
        it is when they do, else coded once more at half the target, else
        exactly."""
        for attempt in ("as coded", "half the target"):
            if attempt == "half the target":
                targets = self.max_prdn
                half = [t / 2 for t in targets] if isinstance(targets, tuple) else targets / 2
                frame = encode_lanes(values, **{**params, "max_prdn": half})
            decoded = self._counts(decode_lanes(frame), np.isnan(values), ints.dtype)
            if self._lanes_meet_prdn(ints, decoded, missing):
                return frame
        return encode_lanes(values, **{**params, "max_prdn": None, "max_abs_error": 0.0})

    def _lanes_meet_prdn(self, ints: np.ndarray, decoded: np.ndarray, missing: np.ndarray) -> bool:
        axis = self.axis % ints.ndim
        length = ints.shape[axis]
        source = np.moveaxis(ints, axis, -1).reshape(-1, length)
        back = np.moveaxis(decoded, axis, -1).reshape(-1, length)
        gaps = np.moveaxis(missing, axis, -1).reshape(-1, length)
        targets = self.max_prdn
        for lane in range(source.shape[0]):
            limit = targets[lane] if isinstance(targets, tuple) else targets
            keep = ~gaps[lane]
            if keep.any() and prdn(source[lane][keep], back[lane][keep]) > limit:
                return False
        return True

    def _counts(self, values: np.ndarray, missing: np.ndarray, want: np.dtype) -> np.ndarray:
        """Decoded floats as the integers a read gives: rounded, clamped,
        the fill value where the source had none moved one count inwards,
        and the fill value in the gaps."""
        info = np.iinfo(want)
        ints = np.clip(np.rint(np.where(missing, 0, values)), info.min, info.max).astype(want)
        if self.fill is not None:
            # A sample rounded onto the fill value would read as missing: one
            # count inwards (the fill value is the dtype's end, the source's
            # sample lies inside).
            collide = (ints == self.fill) & ~missing
            ints[collide] = self.fill + 1 if self.fill < info.max else self.fill - 1
            ints[missing] = self.fill
        return ints

    def _decode_sync(self, chunk_bytes: Any, chunk_spec: Any) -> Any:
        raw = chunk_bytes.as_numpy_array()
        shape, want = tuple(chunk_spec.shape), _native_dtype(chunk_spec.dtype)
        head = inspect_frame(raw)
        stored = np.dtype(head.dtype)
        if tuple(head.shape) != shape or not (stored == want or stored.kind == "f"):
            raise ValueError(f"vantoresk_counts chunk holds {stored} {tuple(head.shape)}, the array expects "
                             f"{want} {shape}")
        values = decode_lanes(raw, expect=(shape, stored))
        if stored == want:
            return chunk_spec.prototype.nd_buffer.from_ndarray_like(values)
        return chunk_spec.prototype.nd_buffer.from_ndarray_like(self._counts(values, np.isnan(values), want))
