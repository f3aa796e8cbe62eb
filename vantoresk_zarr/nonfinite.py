"""Non-finite samples of a lane: found as runs, bridged for coding, put back exactly.

The compressor would turn NaN into 0 and infinities into 0 or 1, making
missing data look like plausible values and stretching the lane's range.
Before coding, each non-finite sample is replaced by its nearest finite
neighbour to the left (to the right at the start of a lane; 0 when the lane
holds no finite sample at all). The positions and exact bit patterns go into
the frame as runs of equal bits, which are usually none or a few.
"""

from __future__ import annotations

from typing import Tuple

import numpy as np

from .frame import Run

_UINT = {4: np.uint32, 8: np.uint64}


def find_runs(lane: np.ndarray) -> Tuple[Run, ...]:
    """Runs of non-finite samples with identical bits, in order."""
    bad = ~np.isfinite(lane)
    if not bad.any():
        return ()
    bits = lane.view(_UINT[lane.dtype.itemsize])
    idx = np.flatnonzero(bad)
    # A run breaks where the indices are not consecutive or the bits change.
    breaks = np.flatnonzero((np.diff(idx) != 1) | (bits[idx[1:]] != bits[idx[:-1]])) + 1
    starts = np.concatenate(([0], breaks))
    ends = np.concatenate((breaks, [len(idx)]))
    return tuple((int(idx[s]), int(e - s), int(bits[idx[s]])) for s, e in zip(starts, ends))


def bridge(lane: np.ndarray, runs: Tuple[Run, ...]) -> np.ndarray:
    """The lane with every non-finite sample replaced by a finite neighbour."""
    if not runs:
        return lane
    finite = np.isfinite(lane)
    out = lane.copy()
    if not finite.any():
        out[:] = 0
        return out
    # Index of the last finite sample at or before each position.
    pos = np.where(finite, np.arange(len(lane)), -1)
    np.maximum.accumulate(pos, out=pos)
    first = int(np.argmax(finite))
    pos[pos < 0] = first
    return out[pos]


def restore(values: np.ndarray, runs: Tuple[Run, ...]) -> None:
    """Write the runs' exact bits back into `values` (native byte order) in place."""
    if not runs:
        return
    bits = values.view(_UINT[values.dtype.itemsize])
    for start, length, pattern in runs:
        bits[start : start + length] = pattern


def finite_mask(runs: Tuple[Run, ...], length: int) -> np.ndarray:
    """True where the lane's sample is finite (not covered by a run)."""
    mask = np.ones(length, dtype=bool)
    for start, count, _ in runs:
        mask[start : start + count] = False
    return mask

