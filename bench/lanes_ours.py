"""The lane codec as bench/lanes_bench.py calls it.

Two ways in, the first that works: libvantoresk.so through its C interface
(include/vantoresk.h) via ctypes, found as $VANTORESK_LIB or in a build
folder of the checkout; else vantoresk_zarr.encode_lanes / decode_lanes of
the installed package. Both take a float32 lane and a target and give back
the frame and the decoded lane.
"""

from __future__ import annotations

import ctypes
import os
import pathlib
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent

VNT_FLOAT32 = 1
VNT_TARGET_MAX_ABS_ERROR = 1
VNT_TARGET_MAX_PRDN = 2


class _Options(ctypes.Structure):
    _fields_ = [("method", ctypes.c_int), ("scale", ctypes.c_int), ("cutoff", ctypes.c_int),
                ("coder", ctypes.c_int), ("axis", ctypes.c_int), ("target_kind", ctypes.c_int),
                ("targets", ctypes.POINTER(ctypes.c_double)), ("target_count", ctypes.c_size_t)]


class _Layout(ctypes.Structure):
    _fields_ = [("dtype", ctypes.c_int), ("big_endian", ctypes.c_int), ("order", ctypes.c_char),
                ("ndim", ctypes.c_int), ("shape", ctypes.c_uint64 * 32)]


class _Error(ctypes.Structure):
    _fields_ = [("status", ctypes.c_int), ("message", ctypes.c_char * 256)]


class _FrameInfo(ctypes.Structure):
    _fields_ = [("version", ctypes.c_int), ("layout", _Layout), ("axis", ctypes.c_int),
                ("lane_count", ctypes.c_uint64), ("lane_length", ctypes.c_uint64),
                ("decoded_bytes", ctypes.c_uint64)]


@dataclass
class Codec:
    """One compressor at one setting, as the benchmark times it."""
    name: str
    encode: Callable[[np.ndarray], object]
    decode: Callable[[object], np.ndarray]
    size: Callable[[object], int] = len
    setting: str = ""  # what a peer chose for this lane, for the report


class CodecError(RuntimeError):
    pass


class _Library:
    """Encode and decode 1-D float32 lanes through the C interface."""

    def __init__(self, path: pathlib.Path) -> None:
        self.lib = ctypes.CDLL(str(path))
        self.lib.vnt_free.argtypes = [ctypes.c_void_p]

    def encode(self, x: np.ndarray, kind: int, target: float) -> bytes:
        x = np.ascontiguousarray(x, dtype=np.float32)
        opts = _Options()
        self.lib.vnt_options_init(ctypes.byref(opts))
        t = (ctypes.c_double * 1)(target)
        opts.target_kind, opts.targets, opts.target_count = kind, t, 1
        lay = _Layout()
        lay.dtype, lay.big_endian, lay.order, lay.ndim = VNT_FLOAT32, 0, b"C", 1
        lay.shape[0] = x.size
        frame, size, err = ctypes.c_void_p(), ctypes.c_size_t(), _Error()
        st = self.lib.vnt_encode(x.ctypes.data_as(ctypes.c_void_p), ctypes.byref(lay), ctypes.byref(opts),
                                 ctypes.byref(frame), ctypes.byref(size), ctypes.byref(err))
        if st != 0:
            raise CodecError(err.message.decode(errors="replace"))
        try:
            return ctypes.string_at(frame, size.value)
        finally:
            self.lib.vnt_free(frame)

    def decode(self, frame: bytes, n: int) -> np.ndarray:
        out = np.empty(n, dtype=np.float32)
        err = _Error()
        st = self.lib.vnt_decode(frame, ctypes.c_size_t(len(frame)), out.ctypes.data_as(ctypes.c_void_p),
                                 ctypes.c_size_t(out.nbytes), ctypes.byref(err))
        if st != 0:
            raise CodecError(err.message.decode(errors="replace"))
        return out


@dataclass
class Ours:
    via: str
    encode: Callable[[np.ndarray, Optional[float], Optional[float]], bytes]
    decode: Callable[[bytes, int], np.ndarray]

    def codec(self, *, n: int, max_abs_error: Optional[float] = None, max_prdn: Optional[float] = None):
        return Codec("vantoresk", lambda x: self.encode(x, max_abs_error, max_prdn),
                     lambda blob: self.decode(blob, n))


def _library_path() -> Optional[pathlib.Path]:
    given = os.environ.get("VANTORESK_LIB")
    if given:
        return pathlib.Path(given)
    for build in sorted(REPO.glob("build*")):
        p = build / "libvantoresk.so"
        if p.is_file():
            return p
    return None


def find_ours() -> Ours:
    path = _library_path()
    if path is not None:
        lib = _Library(path)

        def encode(x, abs_error, prdn):
            if prdn is not None:
                return lib.encode(x, VNT_TARGET_MAX_PRDN, prdn)
            return lib.encode(x, VNT_TARGET_MAX_ABS_ERROR, abs_error)

        return Ours(f"the C interface ({path})", encode, lib.decode)
    import vantoresk_zarr

    def encode_zarr(x, abs_error, prdn):
        if prdn is not None:
            return vantoresk_zarr.encode_lanes(x, max_prdn=prdn)
        return vantoresk_zarr.encode_lanes(x, max_abs_error=abs_error)

    return Ours("vantoresk_zarr.encode_lanes", encode_zarr, lambda blob, n: vantoresk_zarr.decode_lanes(blob))
