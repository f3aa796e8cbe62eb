"""Reading a frame's layout and per-lane settings without decoding samples."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Tuple

import numpy as np

import vantoresk as _ext

from .lanes import as_byte_view, frame_layout

KIND_NAMES = ("container", "raw", "shuffled", "deflate", "grid", "near-lossless")
_METHODS = ("cdf97", "cdf53", "db4", "sym4")
_CODERS = {1: "arans", 2: "deflate"}


@dataclass(frozen=True)
class LaneInfo:
    """One lane: its length, stored size and how it was coded.

    `method`, `scale` and `coder` come from the lane's container header and
    are None for other kinds. `lossless` lanes decode to the very values
    encoded (kinds "raw", "shuffled", "deflate", "grid", and "near-lossless"
    with `steps` 0 on integer lanes). Near-lossless lanes give `steps`, the
    largest distance of a decoded level from its input, and `step`, the
    level's size in data units. `nonfinite` counts the NaN and infinite
    samples the frame restores.
    """

    length: int
    nbytes: int
    lossless: bool
    kind: str
    method: Optional[str]
    scale: Optional[int]
    coder: Optional[str]
    nonfinite: int
    steps: Optional[int] = None
    step: Optional[float] = None


@dataclass(frozen=True)
class FrameInfo:
    """A frame's header and its lanes, in C order over the non-axis dimensions."""

    version: int
    dtype: np.dtype
    shape: Tuple[int, ...]
    order: str
    axis: int
    nbytes: int
    lanes: Tuple[LaneInfo, ...]


def _lane(length: int, row: tuple) -> LaneInfo:
    kind, nbytes, nonfinite, exact, method, scale, coder, steps, step = row
    container = kind == 0
    near = kind == 5
    return LaneInfo(length, nbytes, bool(exact), KIND_NAMES[kind], _METHODS[method] if container else None,
                    scale if container else None, _CODERS.get(coder) if container else None, nonfinite,
                    steps if near else None, step if near else None)


def inspect_frame(buf: Any) -> FrameInfo:
    """The frame's dtype, shape, order, axis and per-lane settings; raises ValueError on a damaged frame."""
    view = as_byte_view(buf)
    version, dtype, order, shape, axis, _, length, _ = frame_layout(view)
    lanes = tuple(_lane(length, row) for row in _ext._lane_infos(view))
    return FrameInfo(version, dtype, shape, order, axis, len(view), lanes)
