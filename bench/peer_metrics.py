"""Measuring one setting and reading a family's curve at a given PRDN.

Compress and decompress are timed separately, around the call only (no
I/O), best of a few repeats. By default the clock is the process's CPU
time, summed over all its threads: on a shared machine, time spent waiting
for a core says nothing about the code, and a peer that used helper threads
is still charged for them. Distortion is computed in float64 against the
float32 input.
"""

from __future__ import annotations

import gc
import math
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional, Sequence

import numpy as np

from peer_codecs import Family, Setting, blob_size
from vantoresk_zarr.vocabulary import prdn


@dataclass(frozen=True)
class Point:
    """One measured setting, or a family's curve read at a target PRDN."""
    family: str
    lossless: bool
    setting: str
    ratio: float        # float32 bytes over compressed bytes
    prdn: float         # percent
    max_error: float    # physical units
    compress_mss: float  # million samples per second
    decompress_mss: float


CLOCKS: dict[str, Callable[[], float]] = {"cpu": time.process_time, "wall": time.perf_counter}


def best_seconds(fn: Callable[[], Any], repeats: int, clock: str = "cpu") -> tuple[float, Any]:
    """Fastest of `repeats` calls, with the cyclic collector held off (as
    timeit does), and the last call's result."""
    now = CLOCKS[clock]
    best, result = math.inf, None
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(max(1, repeats)):
            result = None  # free the previous result before the next call
            start = now()
            result = fn()
            best = min(best, now() - start)
    finally:
        if enabled:
            gc.enable()
    return best, result


def measure(family: Family, setting: Setting, x: np.ndarray, repeats: int, clock: str = "cpu") -> Point:
    t_c, blob = best_seconds(lambda: setting.compress(x), repeats, clock)
    t_d, y = best_seconds(lambda: setting.decompress(blob), repeats, clock)
    y = np.asarray(y).reshape(-1)
    if y.shape != x.shape:
        raise RuntimeError(f"{family.name} {setting.label}: {y.size} samples back for {x.size}")
    n = x.size
    return Point(family.name, family.lossless, setting.label,
                 ratio=4.0 * n / blob_size(blob),
                 prdn=prdn(x, y),
                 max_error=float(np.max(np.abs(x.astype(np.float64) - y))),
                 compress_mss=n / t_c / 1e6,
                 decompress_mss=n / t_d / 1e6)


def at_prdn(points: Sequence[Point], target: float) -> Optional[Point]:
    """The family's figures at PRDN `target`, or None when its curve does
    not reach it.

    A lossless family meets every target with its one setting. A lossy one
    is interpolated between the two measured settings around the target,
    linearly in log PRDN; ratio and maximum error are interpolated in log
    too (both change by roughly constant factors per step), the speeds
    linearly.
    """
    if not points:
        return None
    if points[0].lossless:
        best = max(points, key=lambda p: p.ratio)
        return best if best.prdn <= target else None
    curve = sorted((p for p in points if p.prdn > 0.0 and math.isfinite(p.prdn)), key=lambda p: p.prdn)
    for lo, hi in zip(curve, curve[1:]):
        if lo.prdn <= target <= hi.prdn:
            span = math.log(hi.prdn) - math.log(lo.prdn)
            w = 0.0 if span == 0.0 else (math.log(target) - math.log(lo.prdn)) / span

            def log_mix(a: float, b: float) -> float:
                if a <= 0.0 or b <= 0.0:
                    return a + w * (b - a)
                return math.exp(math.log(a) + w * (math.log(b) - math.log(a)))

            return Point(lo.family, False, f"at PRDN {target:g} %",
                         ratio=log_mix(lo.ratio, hi.ratio), prdn=target,
                         max_error=log_mix(lo.max_error, hi.max_error),
                         compress_mss=lo.compress_mss + w * (hi.compress_mss - lo.compress_mss),
                         decompress_mss=lo.decompress_mss + w * (hi.decompress_mss - lo.decompress_mss))
    if len(curve) == 1 and curve[0].prdn == target:
        return curve[0]
    return None
