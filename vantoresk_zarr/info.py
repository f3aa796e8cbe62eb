"""Reading a frame's layout and per-lane settings without decoding samples."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Tuple

import numpy as np

from . import frame
from .lanes import as_byte_view

_TAGS = {b"cf53": "cdf53", b"cf97": "cdf97", b"db04": "db4", b"sym4": "sym4"}
_CODERS = {0: "deflate", 1: "arans"}


@dataclass(frozen=True)
class LaneInfo:
    """One lane: its length, stored size and how it was coded.

    `method`, `scale` and `coder` come from the lane's container header and
    are None for lanes stored exactly (`lossless`, `kind` "raw",
    "shuffled", "deflate" or "grid"). `nonfinite` counts the NaN and infinite samples the frame
    restores.
    """

    length: int
    nbytes: int
    lossless: bool
    kind: str
    method: Optional[str]
    scale: Optional[int]
    coder: Optional[str]
    nonfinite: int


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


def _lane_info(rec: memoryview, head: frame.FrameHeader, index: int) -> LaneInfo:
    lane = frame.read_lane(rec, head.dtype.itemsize, head.lane_length)
    frame.check_body(lane, head.dtype.itemsize, head.lane_length, index)
    method = scale = coder = None
    if lane.kind == frame.KIND_CONTAINER:
        body = lane.body
        if body[8:12] not in _TAGS or body[14] not in _CODERS:
            raise frame.FrameError(f"not a valid vantoresk frame: lane {index} holds no valid container header")
        method, scale, coder = _TAGS[body[8:12]], body[13], _CODERS[body[14]]
    return LaneInfo(head.lane_length, len(rec), lane.kind != frame.KIND_CONTAINER, frame.KIND_NAMES[lane.kind],
                    method, scale, coder, frame.runs_total(lane.runs))


def inspect_frame(buf: Any) -> FrameInfo:
    """The frame's dtype, shape, order, axis and per-lane settings; raises ValueError on a damaged frame."""
    view = as_byte_view(buf)
    head, offset = frame.read_header(view)
    records = frame.split_lanes(view, head, offset)
    lanes = tuple(_lane_info(rec, head, i) for i, rec in enumerate(records))
    return FrameInfo(frame.VERSION, head.dtype, head.shape, head.order, head.axis, len(view), lanes)
