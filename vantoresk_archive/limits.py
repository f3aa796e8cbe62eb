"""Bounds on what headers and stored metadata may ask of us.

Rates, lengths and channel counts come from files nobody here wrote; they
size chunks, blocks and loops. Everything sized from them passes through
here first: a forged header becomes a clear refusal or a sane chunk, never
a 16 GiB allocation, a file per sample or a listing that runs for hours.

Records read back from a store are checked the same way before anything is
sized or indexed from their metadata (`record_arrays`): the list of arrays,
each array's rank, shape and chunking within bounds, and the per-channel
attributes one entry per channel with the expected types. Anything else is
a `StoreError` naming the record, the array and what is wrong, never an
IndexError, KeyError or TypeError from deep inside.
"""

from __future__ import annotations

import math
from numbers import Real
from typing import Optional

# Samples per channel of one chunk: fewer would store a file per handful of
# samples (a header claiming 1e-4 Hz asks for one sample per minute).
MIN_CHUNK = 256
# Channels x samples of one chunk: its block is read as float64 and coded
# in one piece, so this bounds the memory of one task (128 MiB + codec).
MAX_CHUNK_ELEMENTS = 1 << 24
MAX_CHANNELS = MAX_CHUNK_ELEMENTS // MIN_CHUNK
MAX_SAMPLES = 1 << 48  # per channel; beyond any recording, inside NumPy's sizes
# Chunks of one stored array that a listing walks; a store claiming more
# is damaged or forged (a million hours at 60 s chunks is 6e7).
MAX_CHUNKS = 1 << 27


def bounded_chunk(wanted: int, n_channels: int, n_samples: int, multiple: int = 1) -> int:
    """The chunk length (samples per channel) to use for `wanted`: at
    least MIN_CHUNK, at most what keeps a chunk within MAX_CHUNK_ELEMENTS
    and never longer than the record, a multiple of `multiple` (WFDB
    samples per frame)."""
    m = max(1, int(multiple))
    top = max(m, MAX_CHUNK_ELEMENTS // max(1, n_channels) // m * m)
    n = min(max(int(wanted), MIN_CHUNK), top)
    n = min(n, -(-max(1, n_samples) // m) * m)
    return max(m, n // m * m)


def group_problem(rate: Optional[float], n_channels: int, n_samples: int) -> Optional[str]:
    """Why a signal group read from a header cannot be converted, or None."""
    if rate is not None and not (isinstance(rate, (int, float)) and math.isfinite(rate) and rate > 0):
        return f"sampling rate {rate!r} is not a positive number"
    if not 0 < n_channels <= MAX_CHANNELS:
        return f"{n_channels} channels in one group (at most {MAX_CHANNELS} are converted)"
    if not 0 <= n_samples <= MAX_SAMPLES:
        return f"a length of {n_samples} samples is not possible"
    return None


def unmet_target(options, channels, adc_steps, max_error, prdn) -> Optional[str]:
    """Why a converted array misses the conversion's target, measured against
    the source samples (not against what the store's dtype could hold), or
    None when every channel meets it. A source whose values the stored
    dtype cannot represent that finely (a large offset in float64 through a
    float32 store) lands here instead of being reported as within target."""
    mae = options.max_abs_error
    slack = 1 + 1e-6  # the figures' own rounding, far below any real miss
    for c, name in enumerate(channels):
        limit = adc_steps[c] if mae == "adc" else mae
        if limit is not None and float(max_error[c]) > float(limit) * slack:
            return (f"channel {name}: largest error {float(max_error[c]):.6g} exceeds the target {float(limit):.6g} "
                    "(the stored samples cannot hold values of this size that finely); nothing was stored")
        p = prdn[c]
        if options.max_prdn is not None and p is not None and math.isfinite(p) and p > options.max_prdn * slack:
            return f"channel {name}: PRDN {p:.6g} % exceeds the target {options.max_prdn:g} %; nothing was stored"
    return None


# Records read back from a store

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
    from . import store as st

    if not st.is_complete(store, name):
        raise KeyError(name)
    try:
        return st.zarr_module().open_group(st._join(store, name), mode="r")
    except Exception as exc:
        raise st.StoreError(f"{st._join(store, name)}: damaged record metadata ({type(exc).__name__}: {exc})") from None


def array_names(store: str, name: str, group) -> list:
    from . import store as st

    names = group.attrs.get("arrays", [])
    if not (isinstance(names, list) and all(isinstance(n, str) and n and not n.startswith(".") for n in names)):
        raise st.StoreError(f"{st._join(store, name)}: damaged record metadata: 'arrays' is not a list of names")
    return names


def record_arrays(store: str, name: str) -> list:
    """[(array name, array, attributes)] of a finished record, checked."""
    from . import store as st

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
    if not 0 < n_ch <= MAX_CHANNELS:
        return f"{n_ch} channels"
    if chunks[0] != n_ch or chunks[1] < 1:
        return f"chunks {chunks} do not span the channels of shape {shape}"
    if n > MAX_SAMPLES or -(-n // chunks[1]) > MAX_CHUNKS:
        return f"shape {shape} in chunks of {chunks[1]} claims more chunks than any recording has"
    for key in ("scale_factor", "add_offset"):  # CF packing: what every read multiplies by
        v = attrs.get(key)
        if v is not None and not (isinstance(v, Real) and not isinstance(v, bool) and math.isfinite(v)):
            return f"{key} {v!r} is not a finite number"
    fill = attrs.get("_FillValue")
    if fill is not None and not (isinstance(fill, Real) and not isinstance(fill, bool)):
        return f"_FillValue {fill!r} is not a number"
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


# Rows of one annotation table read back; a day of beats is about 1e5.
MAX_ANNOTATIONS = 1 << 26
ANNOTATION_COLUMNS = ("onset", "duration", "sample", "label", "aux", "subtype", "chan")


def annotation_problem(table, attrs: dict):
    """What is wrong with a stored annotation table (a group of equal
    1-D columns indexing its `labels` and `aux_values`), or None; checked
    before any column is read."""
    for key in ("labels", "aux_values"):
        v = attrs.get(key, [])
        if not (isinstance(v, list) and all(isinstance(x, str) for x in v)):
            return f"'{key}' is not a list of strings"
    names = set(table.array_keys())
    missing = [c for c in ANNOTATION_COLUMNS if c not in names]
    if missing:
        return f"no column {missing[0]!r}"
    shapes = {tuple(table[c].shape) for c in names}
    if len(shapes) != 1 or len(next(iter(shapes))) != 1:
        return "columns of different lengths or ranks"
    if next(iter(shapes))[0] > MAX_ANNOTATIONS:
        return f"{next(iter(shapes))[0]} rows claimed"
    return None
