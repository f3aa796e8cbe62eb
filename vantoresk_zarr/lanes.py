"""The lane codec: an N-D chunk as 1-D lanes along one axis, one frame.

`encode_lanes` cuts the array into lanes along `axis` (the time axis by
default; channels are never flattened together), codes each lane on its own
and packs the lanes into a frame; `decode_lanes` gives back the array with
its dtype, shape and memory order. The work is done by the extension (the
same C++ codec as `libvantoresk.so` and `vantoresk.h`), with the interpreter
lock released; this module checks arguments and handles NumPy layouts.
Neither imports Zarr or numcodecs.

Chunks are float32 or float64 (either byte order), or integer samples as
recorders store them: int8, int16, int32, uint8, uint16. Without a target a
lane is one wavelet container at `scale`. With `max_abs_error` (data units;
counts for integer lanes; 0 means exact) or `max_prdn` (percent), each lane
gets the smallest of the wavelet container, the near-lossless kind and the
exact kinds that meets the target. NaN and infinities come back bit for bit.
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np

import vantoresk as _ext

from .settings import (CODERS, CUTOFFS, METHODS, Target, check_axis, check_lane_count, check_options,
                       check_targets, resolve_axis)

MAX_NDIM = 32
MAX_LANE_LENGTH = 2**31 - 1

# dtype (kind, itemsize) -> the C interface's dtype number
_DTYPE_CODES = {("f", 4): 1, ("f", 8): 2, ("i", 1): 3, ("i", 2): 4, ("i", 4): 5, ("u", 1): 6, ("u", 2): 7}
_METHOD_CODES = {"cdf97": 0, "cdf53": 1, "db4": 2, "sym4": 3}
_CUTOFF_CODES = {"low": 0, "medium": 1, "high": 2}
_CODER_CODES = {"auto": 0, "arans": 1, "deflate": 2}
_TARGET_NONE, _TARGET_ABS, _TARGET_PRDN = 0, 1, 2
assert set(_METHOD_CODES) == set(METHODS) and set(_CUTOFF_CODES) == set(CUTOFFS) and set(_CODER_CODES) == set(CODERS)

SUPPORTED = "float32, float64, int8, int16, int32, uint8 or uint16"


def check_array(array: Any) -> np.ndarray:
    """`array` as an ndarray of a supported dtype, or a ValueError naming what it is."""
    arr = np.asarray(array)
    if (arr.dtype.kind, arr.dtype.itemsize) not in _DTYPE_CODES:
        raise ValueError(f"vantoresk codes {SUPPORTED} arrays, not {arr.dtype}")
    return arr


def memory_order(arr: np.ndarray) -> str:
    return "F" if arr.flags.f_contiguous and not arr.flags.c_contiguous else "C"


def _big_endian(dtype: np.dtype) -> bool:
    return dtype.byteorder == ">" or (dtype.byteorder == "=" and not np.little_endian)


def _flat_bytes(arr: np.ndarray, order: str) -> np.ndarray:
    """The array's memory as a 1-D uint8 view, in `order` (the array is contiguous in it)."""
    return arr.reshape(-1, order="F" if order == "F" else "C").view(np.uint8)


def _target(abs_t: Target, prdn_t: Target) -> Tuple[int, Optional[Tuple[float, ...]]]:
    if abs_t is not None:
        return _TARGET_ABS, (abs_t,) if isinstance(abs_t, float) else abs_t
    if prdn_t is not None:
        return _TARGET_PRDN, (prdn_t,) if isinstance(prdn_t, float) else prdn_t
    return _TARGET_NONE, None


def encode_lanes(array: Any, *, axis: int = -1, method: str = "cdf97", scale: int = 11, cutoff: str = "low",
                 coder: Optional[str] = "auto", max_abs_error: Any = None, max_prdn: Any = None) -> bytes:
    """Encode an N-D array as one frame of 1-D lanes along `axis`.

    `max_abs_error` (data units, counts for integer arrays; 0 stores the
    lanes exactly) or `max_prdn` (percent) turn the fixed `scale` into a
    per-lane guarantee: each lane gets the smallest body whose decoded
    samples meet the target. Either may be a list with one value per lane
    (lanes in C order over the other axes), e.g. each channel's own ADC
    step. NaN and infinities come back bit for bit.
    """
    arr = check_array(array)
    check_options(method, scale, cutoff, coder)
    abs_t, prdn_t = check_targets(max_abs_error, max_prdn)
    ax = resolve_axis(check_axis(axis), arr.ndim)
    if arr.ndim > MAX_NDIM:
        raise ValueError(f"frames hold at most {MAX_NDIM} dimensions, not {arr.ndim}")
    length = arr.shape[ax]
    if length > MAX_LANE_LENGTH:
        raise ValueError(f"lanes of {length} samples are too long; use chunks below 2^31 samples along the axis")
    count = 1
    for i, d in enumerate(arr.shape):
        if i != ax:
            count *= int(d)
    check_lane_count(abs_t, count, "max_abs_error")
    check_lane_count(prdn_t, count, "max_prdn")
    order = memory_order(arr)
    if not (arr.flags.c_contiguous or arr.flags.f_contiguous):
        arr = np.ascontiguousarray(arr)  # strided views: copied once, in C order
    kind, targets = _target(abs_t, prdn_t)
    dtype = arr.dtype
    return _ext._lane_encode(_flat_bytes(arr, order), _DTYPE_CODES[(dtype.kind, dtype.itemsize)],
                             int(_big_endian(dtype)), order, tuple(int(d) for d in arr.shape), ax,
                             _METHOD_CODES[method], int(scale), _CUTOFF_CODES[cutoff],
                             _CODER_CODES["auto" if coder is None else coder], kind, targets)


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



def frame_layout(buf: Any) -> Tuple[int, np.dtype, str, Tuple[int, ...], int, int, int, int]:
    """A frame's header, checked with its lane table (nothing is decoded); ValueError when damaged."""
    view = as_byte_view(buf)
    version, code, order, shape, axis, lanes, length, nbytes = _ext._lane_frame_info(view)
    return version, np.dtype(code), order, tuple(shape), axis, lanes, length, nbytes


def decode_lanes(buf: Any, out: Any = None, *, expect: Optional[Tuple[Tuple[int, ...], np.dtype]] = None) -> Any:
    """Decode a frame: the array with its dtype, shape and memory order.

    With `out` (an array or writable buffer of the same number of elements,
    or bytes), the values are written into it and `out` is returned; a
    frame that does not fit `out` (or `expect`, a (shape, dtype) pair) is
    refused before anything is allocated. Damaged or foreign input raises
    ValueError.
    """
    view = as_byte_view(buf)
    _, dtype, order, shape, _, _, _, nbytes = frame_layout(view)
    if expect is not None:
        want_shape, want_dtype = tuple(expect[0]), np.dtype(expect[1])
        if shape != want_shape or dtype != want_dtype:
            raise ValueError(f"vantoresk chunk holds {dtype} {shape}, the array expects {want_dtype} {want_shape}")
    if out is not None:
        target = out if isinstance(out, np.ndarray) else np.asarray(memoryview(out).cast("B"))
        if target.nbytes != nbytes:
            elements = nbytes // dtype.itemsize
            raise ValueError(f"out has {target.size} elements of {target.dtype} ({target.nbytes} bytes), "
                             f"the frame decodes to {elements} elements of {dtype} {shape}")
        direct = (target.dtype == dtype and target.shape == shape and target.flags.writeable
                  and (target.flags.f_contiguous if order == "F" else target.flags.c_contiguous))
        if direct:
            _ext._lane_decode(view, _flat_bytes(target, order))
            return out
    result = np.empty(shape, dtype=dtype, order=order)
    _ext._lane_decode(view, _flat_bytes(result, order))
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
