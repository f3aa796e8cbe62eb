"""Checking the codec's settings: fixed options, lane axis and error targets.

Shared by the plain functions and both codec front ends, so every entry
point reports a bad value with the same clear message, before any data is
touched.
"""

from __future__ import annotations

import math
from numbers import Integral, Real
from typing import Optional, Sequence, Tuple, Union

from vantoresk import VantrCompressionOptions

METHODS = ("cdf97", "cdf53", "db4", "sym4")
CUTOFFS = ("low", "medium", "high")
CODERS = ("auto", "arans", "deflate")
SCALES = tuple(range(6, 13))
PARAMS = ("method", "scale", "cutoff", "coder", "axis", "max_abs_error", "max_prdn")

# A target is one number for every lane, or a tuple with one number per lane.
Target = Union[None, float, Tuple[float, ...]]


def _choice(name: str, value: object, allowed: Sequence[str]) -> str:
    if not isinstance(value, str) or value not in allowed:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, allowed))}, not {value!r}")
    return value


def check_options(method: str, scale: int, cutoff: str, coder: Optional[str]) -> VantrCompressionOptions:
    """The extension's options object for these settings, or a ValueError."""
    _choice("method", method, METHODS)
    _choice("cutoff", cutoff, CUTOFFS)
    _choice("coder", "auto" if coder is None else coder, CODERS)
    if isinstance(scale, bool) or not isinstance(scale, Integral) or scale not in SCALES:
        raise ValueError(f"scale must be an integer from 6 to 12, not {scale!r}")
    return VantrCompressionOptions(method, int(scale), cutoff, coder)


def check_axis(axis: object) -> int:
    """The lane axis as a plain int (checked against a shape later by `resolve_axis`)."""
    if isinstance(axis, bool) or not isinstance(axis, Integral):
        raise ValueError(f"axis must be an integer, not {axis!r}")
    return int(axis)


def resolve_axis(axis: int, ndim: int) -> int:
    """`axis` as a non-negative index into a shape of `ndim` dimensions."""
    if ndim == 0:
        raise ValueError("vantoresk codes 1-D lanes: a 0-d array has none")
    if not -ndim <= axis < ndim:
        raise ValueError(f"axis {axis} is out of range for an array of {ndim} dimension{'s' * (ndim > 1)}")
    return axis % ndim


def _positive(name: str, value: object) -> float:
    # max_abs_error 0 asks for the values exactly; a PRDN of 0 is no target a lossy kind can meet.
    zero_ok = name == "max_abs_error"
    if (isinstance(value, bool) or not isinstance(value, Real) or not math.isfinite(value) or value < 0
            or (value == 0 and not zero_ok)):
        raise ValueError(f"{name} must be a positive finite number{' or 0' if zero_ok else ''}, not {value!r}")
    return float(value)


def check_target(name: str, value: object) -> Target:
    """None, one positive number (or 0 for max_abs_error: exact), or a non-empty list of them (one per lane)."""
    if value is None:
        return None
    if isinstance(value, (list, tuple)):
        if not value:
            raise ValueError(f"{name} must not be an empty list")
        return tuple(_positive(name, v) for v in value)
    return _positive(name, value)


def check_targets(max_abs_error: object, max_prdn: object) -> Tuple[Target, Target]:
    """Both targets checked; at most one may be given."""
    abs_t = check_target("max_abs_error", max_abs_error)
    prdn_t = check_target("max_prdn", max_prdn)
    if abs_t is not None and prdn_t is not None:
        raise ValueError("give max_abs_error or max_prdn, not both")
    return abs_t, prdn_t


def lane_target(target: Target, lane: int, lanes: int, name: str) -> Optional[float]:
    """The target of one lane; a per-lane list must have one entry per lane."""
    if target is None or isinstance(target, float):
        return target
    if len(target) != lanes:
        raise ValueError(
            f"{name} lists {len(target)} values but the chunk has {lanes} lane{'s' * (lanes != 1)} "
            "(one per 1-D slice along the axis, in C order over the other dimensions)"
        )
    return target[lane]


def check_lane_count(target: Target, lanes: int, name: str) -> None:
    """Raise the per-lane list error early, before any lane is coded."""
    lane_target(target, 0, lanes, name)


def as_config(target: Target) -> Union[None, float, list]:
    """A target in its JSON form."""
    return list(target) if isinstance(target, tuple) else target


def check_codec_params(method: str = "cdf97", scale: int = 11, cutoff: str = "low", coder: Optional[str] = "auto",
                       axis: int = -1, max_abs_error: object = None, max_prdn: object = None) -> dict:
    """A codec's seven parameters, checked, in their JSON form (targets as float or list)."""
    check_options(method, scale, cutoff, coder)
    abs_t, prdn_t = check_targets(max_abs_error, max_prdn)
    return dict(method=method, scale=int(scale), cutoff=cutoff, coder="auto" if coder is None else coder,
                axis=check_axis(axis), max_abs_error=as_config(abs_t), max_prdn=as_config(prdn_t))


def check_known(config: dict) -> dict:
    """A stored configuration with nothing but known parameters, or a TypeError naming the others."""
    unknown = sorted(set(config) - set(PARAMS))
    if unknown:
        raise TypeError(f"unknown vantoresk codec option{'s' * (len(unknown) > 1)} {', '.join(map(repr, unknown))} "
                        f"(known: {', '.join(PARAMS)})")
    return config
