"""The lane codec: an N-D float chunk as 1-D lanes along one axis, one frame.

`encode_lanes` cuts the array into lanes along `axis` (the time axis by
default; channels are never flattened together), codes each lane as one
container (or exactly, see below) and packs the lanes into a frame
(`frame.py`). `decode_lanes` gives back the array with its dtype, shape and
memory order. Neither imports Zarr or numcodecs.

A lane is stored exactly instead of as a container when an error target
cannot be met at any scale, when its values are too large for the codec's
float32 arithmetic, or when the container would not be smaller than the
values themselves (very short lanes).
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from vantoresk import decompress_signal

from . import frame, nonfinite
from .settings import Target, check_axis, check_lane_count, check_options, check_targets, lane_target, resolve_axis
from .targets import choose

# With a target, exact storage is weighed against containers compressing less than this.
_WORTH_A_LOOK = 8


def check_array(array: Any) -> np.ndarray:
    """`array` as an ndarray of float32 or float64, or a ValueError naming what it is."""
    arr = np.asarray(array)
    if arr.dtype.kind != "f" or arr.dtype.itemsize not in (4, 8):
        raise ValueError(f"vantoresk codes float32 or float64 arrays, not {arr.dtype}"
                         + (" (convert integer samples to float first)" if arr.dtype.kind in "iub" else ""))
    return arr


def memory_order(arr: np.ndarray) -> str:
    return "F" if arr.flags.f_contiguous and not arr.flags.c_contiguous else "C"


def encode_lanes(array: Any, *, axis: int = -1, method: str = "cdf97", scale: int = 11, cutoff: str = "low",
                 coder: Optional[str] = "auto", max_abs_error: Any = None, max_prdn: Any = None) -> bytes:
    """Encode an N-D float32 or float64 array as one frame of 1-D lanes along `axis`.

    `max_abs_error` (data units) or `max_prdn` (percent) turn the fixed
    `scale` into a per-lane guarantee: each lane gets the cheapest scale whose
    decoded samples meet the target, or is stored exactly. Either may be a
    list with one value per lane (lanes in C order over the other axes), e.g.
    each channel's own ADC step. NaN and infinities come back bit for bit.
    """
    arr = check_array(array)
    check_options(method, scale, cutoff, coder)
    abs_t, prdn_t = check_targets(max_abs_error, max_prdn)
    ax = resolve_axis(check_axis(axis), arr.ndim)
    if arr.ndim > frame.MAX_NDIM:
        raise ValueError(f"frames hold at most {frame.MAX_NDIM} dimensions, not {arr.ndim}")
    length = arr.shape[ax]
    if length > frame.MAX_LANE_LENGTH:
        raise ValueError(f"lanes of {length} samples are too long; use chunks below 2^31 samples along the axis")
    head = frame.FrameHeader(arr.dtype, memory_order(arr), tuple(int(d) for d in arr.shape), ax)
    count = head.lane_count
    check_lane_count(abs_t, count, "max_abs_error")
    check_lane_count(prdn_t, count, "max_prdn")
    native = arr.astype(arr.dtype.newbyteorder("="), copy=False)
    rows = np.moveaxis(native, ax, -1).reshape(count, length)
    records = [
        _encode_lane(np.ascontiguousarray(rows[i]), _settings(i, count, abs_t, prdn_t, method, scale, cutoff, coder))
        for i in range(count)
    ]
    return frame.pack_frame(head, records)


def _settings(lane: int, lanes: int, abs_t: Target, prdn_t: Target, method: str, scale: int, cutoff: str,
              coder: Optional[str]) -> dict:
    return dict(max_abs_error=lane_target(abs_t, lane, lanes, "max_abs_error"),
                max_prdn=lane_target(prdn_t, lane, lanes, "max_prdn"),
                method=method, scale=int(scale), cutoff=cutoff, coder=coder)


def _encode_lane(row: np.ndarray, settings: dict) -> bytes:
    itemsize = row.dtype.itemsize
    if row.size == 0:
        return frame.pack_lane(frame.KIND_RAW, b"", runs=(), itemsize=itemsize)
    runs = nonfinite.find_runs(row)
    values = nonfinite.bridge(row, runs)
    mask = nonfinite.finite_mask(runs, row.size) if runs else None
    result = choose(values, mask=mask, measure_fixed=False, **settings)
    raw_size = row.size * itemsize
    if result.lossless or len(result.container) >= raw_size:
        return frame.pack_lane(*frame.exact_body(values), runs=runs, itemsize=itemsize)
    targeted = settings["max_abs_error"] is not None or settings["max_prdn"] is not None
    if targeted and len(result.container) * _WORTH_A_LOOK > raw_size:
        # Exact storage meets any target too, and recordings on an ADC grid
        # are small as grid lanes: near the finest scales it can win.
        kind, body = frame.exact_body(values, shuffled=False)
        if len(body) < len(result.container):
            return frame.pack_lane(kind, body, runs=runs, itemsize=itemsize)
    return frame.pack_lane(frame.KIND_CONTAINER, result.container, runs=runs, itemsize=itemsize)


def as_byte_view(buf: Any) -> memoryview:
    """A flat byte view of bytes, bytearray, memoryview or a contiguous ndarray."""
    if isinstance(buf, np.ndarray):
        buf = np.ascontiguousarray(buf).reshape(-1).view(np.uint8)
    try:
        view = memoryview(buf)
    except TypeError:
        raise TypeError(f"expected a bytes-like frame, not {type(buf).__name__}") from None
    if not view.contiguous:
        view = memoryview(view.tobytes())
    return view.cast("B") if (view.format != "B" or view.ndim != 1) else view


def _container_values(body: bytes, dtype: np.dtype, lane: int) -> np.ndarray:
    try:
        return decompress_signal(body).astype(dtype, copy=False)
    except ValueError as exc:
        raise frame.FrameError(f"not a valid vantoresk frame: lane {lane}: {exc}") from None


def decode_lanes(buf: Any, out: Any = None) -> np.ndarray:
    """Decode a frame: the array with its dtype, shape and memory order.

    With `out` (an array or writable buffer of the same number of elements,
    or bytes), the values are written into it and `out` is returned.
    Damaged or foreign input raises ValueError.
    """
    view = as_byte_view(buf)
    head, offset = frame.read_header(view)
    records = frame.split_lanes(view, head, offset)
    native = head.dtype.newbyteorder("=")
    length = head.lane_length
    lanes = [frame.read_lane(rec, native.itemsize, length) for rec in records]
    for i, lane in enumerate(lanes):
        frame.check_body(lane, native.itemsize, length, i)
    rows = np.empty((len(lanes), length), dtype=native)
    for i, lane in enumerate(lanes):
        if lane.kind == frame.KIND_CONTAINER:
            values = _container_values(lane.body, native, i)
        else:
            values = frame.exact_values(lane.kind, lane.body, native, length)
        nonfinite.restore(values, lane.runs)
        rows[i] = values
    others = tuple(d for k, d in enumerate(head.shape) if k != head.axis)
    result = np.moveaxis(rows.reshape(others + (length,)), -1, head.axis)
    result = np.asfortranarray(result) if head.order == "F" else np.ascontiguousarray(result)
    if head.dtype != native:
        result = result.astype(head.dtype)
    return result if out is None else fill(out, result)


def fill(out: Any, result: np.ndarray) -> Any:
    """Copy `result` into `out`: same shape, or a contiguous buffer of the same size."""
    target = out if isinstance(out, np.ndarray) else np.asarray(memoryview(out).cast("B"))
    if target.dtype != result.dtype:
        if not (target.flags.c_contiguous or target.flags.f_contiguous) or target.nbytes != result.nbytes:
            raise ValueError(f"out holds {target.nbytes} bytes of {target.dtype}, "
                             f"the frame decodes to {result.nbytes} bytes of {result.dtype}")
        target = target.reshape(-1, order="A").view(np.uint8).view(result.dtype)
    if target.size != result.size:
        raise ValueError(f"out has {target.size} elements, the frame decodes to {result.size}")
    if target.shape == result.shape:
        target[...] = result
    else:
        if not (target.flags.c_contiguous or target.flags.f_contiguous):
            raise ValueError(f"out of shape {target.shape} must be contiguous to take shape {result.shape}")
        order = "F" if memory_order(result) == "F" else "C"
        flat = target.reshape(-1, order="A")
        flat[...] = result.reshape(-1, order=order)
    return out
