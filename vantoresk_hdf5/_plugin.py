"""Loading the HDF5 filter plugin shipped in this package and calling it.

The plugin library sits in the `plugins` folder beside this file (the folder
other programs take in HDF5_PLUGIN_PATH). Its chunk encoder is the very code
HDF5 runs as the filter, called here through ctypes, which releases the GIL
for the call, so threads encode chunks side by side.
"""

from __future__ import annotations

import ctypes
import os
from typing import Sequence

import numpy as np

PLUGIN_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "plugins")
LIBRARY_NAME = "libh5vantoresk.so"
_MESSAGE_SIZE = 512


def _load() -> ctypes.CDLL:
    path = os.path.join(PLUGIN_PATH, LIBRARY_NAME)
    if not os.path.isfile(path):
        raise ImportError(f"the vantoresk HDF5 plugin is missing from this installation ({path}); "
                          "reinstall with: pip install 'vantoresk[hdf5]'")
    lib = ctypes.CDLL(path)
    lib.H5PLget_plugin_info.restype = ctypes.c_void_p
    lib.H5PLget_plugin_info.argtypes = []
    lib.h5vantoresk_encode_chunk.restype = ctypes.c_int
    lib.h5vantoresk_encode_chunk.argtypes = [
        ctypes.c_size_t, ctypes.POINTER(ctypes.c_uint), ctypes.c_void_p, ctypes.c_size_t,
        ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t), ctypes.c_char_p, ctypes.c_size_t]
    lib.h5vantoresk_decode_chunk.restype = ctypes.c_int
    lib.h5vantoresk_decode_chunk.argtypes = [
        ctypes.c_size_t, ctypes.POINTER(ctypes.c_uint), ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
        ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
    lib.h5vantoresk_free.restype = None
    lib.h5vantoresk_free.argtypes = [ctypes.c_void_p]
    return lib


LIB = _load()
# The filter class begins {int version; int id; ...}: the ID is the plugin's own.
FILTER_ID = int(ctypes.cast(LIB.H5PLget_plugin_info(), ctypes.POINTER(ctypes.c_int))[1])


def _cd_array(cd_values: Sequence[int]) -> "ctypes.Array[ctypes.c_uint]":
    return (ctypes.c_uint * max(len(cd_values), 1))(*[int(v) for v in cd_values])


def encode_chunk(cd_values: Sequence[int], chunk: np.ndarray) -> bytes:
    """One chunk (C-contiguous, in the dataset's stored dtype) as the filter stores it."""
    if not chunk.flags.c_contiguous:
        raise ValueError("encode_chunk takes a C-contiguous chunk")
    frame = ctypes.c_void_p()
    size = ctypes.c_size_t()
    message = ctypes.create_string_buffer(_MESSAGE_SIZE)
    cd = _cd_array(cd_values)
    if LIB.h5vantoresk_encode_chunk(len(cd_values), cd, chunk.ctypes.data, chunk.nbytes, ctypes.byref(frame),
                                    ctypes.byref(size), message, _MESSAGE_SIZE) != 0:
        raise ValueError(f"vantoresk HDF5 filter: {message.value.decode('utf-8', 'replace')}")
    try:
        return ctypes.string_at(frame.value, size.value)
    finally:
        LIB.h5vantoresk_free(frame)


def decode_chunk(cd_values: Sequence[int], frame: bytes, dtype: np.dtype, shape: Sequence[int]) -> np.ndarray:
    """A stored chunk decoded into a new array of the dataset's chunk `shape` and stored `dtype`."""
    out = np.empty(tuple(shape), dtype=dtype)
    message = ctypes.create_string_buffer(_MESSAGE_SIZE)
    cd = _cd_array(cd_values)
    if LIB.h5vantoresk_decode_chunk(len(cd_values), cd, frame, len(frame), out.ctypes.data, out.nbytes, message,
                                    _MESSAGE_SIZE) != 0:
        raise ValueError(f"vantoresk HDF5 filter: {message.value.decode('utf-8', 'replace')}")
    return out
