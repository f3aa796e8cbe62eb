"""Records read back from a store, checked before anything is sized or
indexed from their metadata.

A store may have been damaged, edited or forged. `record_arrays` opens a
finished record and checks what `info` and `export` rely on: the list of
arrays, each array's rank, shape and chunking within bounds, and the
per-channel attributes one entry per channel with the expected types.
Anything else is a `StoreError` naming the record, the array and what is
wrong, never an IndexError, KeyError or TypeError from deep inside.
"""

from __future__ import annotations

import math
from numbers import Real

from . import limits
from . import store as st

# Per-channel attributes: the types an entry may have (None always allowed).
PER_CHANNEL = {
    "channel_names": (str,),
    "units": (str,),
    "adc_step": (Real,),
    "source_bits": (int,),
    "prdn": (Real,),
    "max_abs_error": (Real,),
    "max_error_at": (int,),
}


def open_record(store: str, name: str):
    """The finished record's group, or StoreError."""
    if not st.is_complete(store, name):
        raise KeyError(name)
    try:
        return st.zarr_module().open_group(st._join(store, name), mode="r")
    except Exception as exc:
        raise st.StoreError(f"{st._join(store, name)}: damaged record metadata ({type(exc).__name__}: {exc})") from None


def array_names(store: str, name: str, group) -> list:
    names = group.attrs.get("arrays", [])
    if not (isinstance(names, list) and all(isinstance(n, str) and n and not n.startswith(".") for n in names)):
        raise st.StoreError(f"{st._join(store, name)}: damaged record metadata: 'arrays' is not a list of names")
    return names


def record_arrays(store: str, name: str) -> list:
    """[(array name, array, attributes)] of a finished record, checked."""
    group = open_record(store, name)
    out = []
    for aname in array_names(store, name, group):
        where = f"{st._join(store, name)}/{aname}"
        try:
            arr = group[aname]
            attrs = dict(arr.attrs)
        except Exception as exc:
            raise st.StoreError(f"{where}: missing or damaged array ({type(exc).__name__}: {exc})") from None
        problem = array_problem(arr, attrs)
        if problem:
            raise st.StoreError(f"{where}: damaged metadata: {problem}")
        out.append((aname, arr, attrs))
    return out


def array_problem(arr, attrs: dict):
    """What is wrong with a stored channels x time array, or None."""
    shape, chunks = tuple(getattr(arr, "shape", ())), tuple(getattr(arr, "chunks", ()))
    if len(shape) != 2 or len(chunks) != 2:
        return f"expected a 2-D (channel, time) array, found shape {shape}"
    n_ch, n = shape
    if not 0 < n_ch <= limits.MAX_CHANNELS:
        return f"{n_ch} channels"
    if chunks[0] != n_ch or chunks[1] < 1:
        return f"chunks {chunks} do not span the channels of shape {shape}"
    if n > limits.MAX_SAMPLES or -(-n // chunks[1]) > limits.MAX_CHUNKS:
        return f"shape {shape} in chunks of {chunks[1]} claims more chunks than any recording has"
    rate = attrs.get("sampling_rate")
    if rate is not None and not (isinstance(rate, Real) and not isinstance(rate, bool)
                                 and math.isfinite(rate) and rate > 0):
        return f"sampling_rate {rate!r} is not a positive number"
    for key, types in PER_CHANNEL.items():
        if key not in attrs:
            continue
        v = attrs[key]
        if not isinstance(v, list) or len(v) != n_ch:
            return f"'{key}' should list one entry per channel ({n_ch})"
        if not all(x is None or (isinstance(x, types) and not isinstance(x, bool)) for x in v):
            return f"'{key}' holds entries of the wrong type"
    return None
