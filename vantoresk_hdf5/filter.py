"""The filter's settings as h5py and pynwb take them.

`VantoreskFilter(...)` packs the settings into the filter's parameter words
(cd_values); h5py and hdmf pass them through to the plugin, which adds the
element type and chunk shape when the dataset is created.
"""

from __future__ import annotations

import math
import struct
from numbers import Integral, Real
from typing import Optional, Tuple

import h5py

from ._plugin import FILTER_ID

LAYOUT_VERSION = 1
METHODS = ("cdf97", "cdf53", "db4", "sym4")
CUTOFFS = ("low", "medium", "high")
CODERS = ("auto", "arans", "deflate")
TARGET_NONE, TARGET_MAX_ABS_ERROR, TARGET_MAX_PRDN, TARGET_GRID_STEPS = range(4)


def _choice(name: str, value: object, allowed: Tuple[str, ...]) -> int:
    if not isinstance(value, str) or value not in allowed:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, allowed))}, not {value!r}")
    return allowed.index(value)


def _number(name: str, value: object, positive: bool) -> float:
    if isinstance(value, bool) or not isinstance(value, Real) or not math.isfinite(value) or value < 0 \
            or (positive and value == 0):
        kind = "a positive" if positive else "a non-negative"
        raise ValueError(f"{name} must be {kind} finite number, not {value!r}")
    return float(value)


def _target(max_abs_error: object, max_prdn: object, steps: object) -> Tuple[int, float]:
    given = [n for n, v in (("max_abs_error", max_abs_error), ("max_prdn", max_prdn), ("steps", steps))
             if v is not None]
    if len(given) > 1:
        raise ValueError(f"give at most one target, not {' and '.join(given)}")
    if max_abs_error is not None:
        return TARGET_MAX_ABS_ERROR, _number("max_abs_error", max_abs_error, positive=False)
    if max_prdn is not None:
        return TARGET_MAX_PRDN, _number("max_prdn", max_prdn, positive=True)
    if steps is not None:
        if isinstance(steps, bool) or not isinstance(steps, Integral) or not 0 <= steps <= 65535:
            raise ValueError(f"steps must be a whole number from 0 to 65535, not {steps!r}")
        return TARGET_GRID_STEPS, float(steps)
    return TARGET_NONE, 0.0


def cd_values(method: str = "cdf97", scale: int = 11, cutoff: str = "low", coder: Optional[str] = "auto",
              axis: int = -1, max_abs_error: Optional[float] = None, max_prdn: Optional[float] = None,
              steps: Optional[int] = None) -> Tuple[int, ...]:
    """The filter's parameter words for these settings, checked (ValueError on a bad one)."""
    method_code = _choice("method", method, METHODS)
    cutoff_code = _choice("cutoff", cutoff, CUTOFFS)
    coder_code = _choice("coder", "auto" if coder is None else coder, CODERS)
    if isinstance(scale, bool) or not isinstance(scale, Integral) or not 6 <= scale <= 12:
        raise ValueError(f"scale must be an integer from 6 to 12, not {scale!r}")
    if isinstance(axis, bool) or not isinstance(axis, Integral) or not -32 <= axis < 32:
        raise ValueError(f"axis must be an integer from -32 to 31, not {axis!r}")
    kind, value = _target(max_abs_error, max_prdn, steps)
    high, low = struct.unpack(">II", struct.pack(">d", value))
    return (LAYOUT_VERSION, int(axis) & 0xFFFFFFFF, 0, method_code, int(scale), cutoff_code, coder_code, kind,
            high, low)


class VantoreskFilter(h5py.filters.FilterRefBase, int):
    """The vantoresk lane codec as an HDF5 filter, for h5py and pynwb.

    Each chunk is cut into lanes along `axis` (the time axis: -1 for
    (channel, time) data, 0 for (time, channel)) and each lane is coded on its
    own. With `max_abs_error` (data units; counts for integer data),
    `max_prdn` (percent) or `steps` (steps of each lane's own ADC grid) every
    lane meets that bound, or is stored exactly; without one the fixed
    `scale` applies. `method`, `cutoff` and `coder` are the container options.

        dset = f.create_dataset("ecg", data=x, chunks=(1, 65536), **VantoreskFilter(max_abs_error=0.005))
        H5DataIO(data, chunks=..., compression=VantoreskFilter(steps=0), allow_plugin_filters=True)

    An instance is also the integer FILTER_ID, so programs that take only a
    filter number as `compression` (hdmf's H5DataIO) take it whole; h5py then
    finds the parameters on it.
    """

    filter_id = FILTER_ID

    def __new__(cls, *args: object, **kwargs: object) -> "VantoreskFilter":
        return int.__new__(cls, FILTER_ID)

    # Comparisons are by settings (as FilterRefBase has them), never as integers.
    __eq__ = h5py.filters.FilterRefBase.__eq__
    __hash__ = h5py.filters.FilterRefBase.__hash__

    def __ne__(self, other: object) -> bool:
        return not self == other

    def __init__(self, max_abs_error: Optional[float] = None, max_prdn: Optional[float] = None,
                 steps: Optional[int] = None, axis: int = -1, method: str = "cdf97", scale: int = 11,
                 cutoff: str = "low", coder: Optional[str] = "auto") -> None:
        self.filter_options = cd_values(method, scale, cutoff, coder, axis, max_abs_error, max_prdn, steps)

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in settings(self.filter_options).items())
        return f"VantoreskFilter({args})"


def settings(values: Tuple[int, ...]) -> dict:
    """The settings a parameter list holds (as stored in a dataset, or given by a user)."""
    defaults = (LAYOUT_VERSION, 0xFFFFFFFF, 0, 0, 11, 0, 0, TARGET_NONE, 0, 0)
    v = tuple(int(x) for x in values) + defaults[len(values):]
    out = {"axis": v[1] - (1 << 32) if v[1] >= 1 << 31 else v[1], "method": METHODS[v[3]] if v[3] < 4 else v[3],
           "scale": v[4], "cutoff": CUTOFFS[v[5]] if v[5] < 3 else v[5], "coder": CODERS[v[6]] if v[6] < 3 else v[6]}
    target = struct.unpack(">d", struct.pack(">II", v[8], v[9]))[0]
    name = {TARGET_MAX_ABS_ERROR: "max_abs_error", TARGET_MAX_PRDN: "max_prdn", TARGET_GRID_STEPS: "steps"}.get(v[7])
    if name is not None:
        out[name] = int(target) if name == "steps" else target
    return out
