"""What a conversion cost, measured against the source samples: running
per-channel error statistics over blocks, and the chunk sizes per channel."""

from __future__ import annotations

import math
from collections import Counter
from dataclasses import dataclass, field
from typing import Optional

import numpy as np


class ErrorStats:
    """Sum of squared errors, signal variance and the largest error per
    channel, accumulated block by block (float64, shifted by the first
    block's mean so the variance does not cancel)."""

    def __init__(self, n_channels: int) -> None:
        self.n = np.zeros(n_channels, dtype=np.int64)
        self.shift: Optional[np.ndarray] = None
        self.s1 = np.zeros(n_channels)
        self.s2 = np.zeros(n_channels)
        self.sse = np.zeros(n_channels)
        self.max_error = np.zeros(n_channels)
        self.max_at = np.zeros(n_channels, dtype=np.int64)
        self.nonfinite_mismatch = np.zeros(n_channels, dtype=np.int64)

    def update(self, source: np.ndarray, decoded: np.ndarray, start: int) -> None:
        x = np.asarray(source, dtype=np.float64)
        y = np.asarray(decoded, dtype=np.float64)
        fin = np.isfinite(x)
        # Non-finite samples must come back as they were (NaN for NaN).
        same = (x == y) | (np.isnan(x) & np.isnan(y))
        self.nonfinite_mismatch += np.sum(~fin & ~same, axis=1)
        xf = np.where(fin, x, 0.0)
        if self.shift is None:
            cnt = np.maximum(fin.sum(axis=1), 1)
            self.shift = xf.sum(axis=1) / cnt
        d = np.where(fin, xf - self.shift[:, None], 0.0)
        self.n += fin.sum(axis=1)
        self.s1 += d.sum(axis=1)
        self.s2 += (d * d).sum(axis=1)
        with np.errstate(invalid="ignore"):
            err = np.where(fin, np.abs(y - xf), 0.0)
        err = np.where(np.isnan(err), np.inf, err)
        self.sse += (err * err).sum(axis=1)
        if err.shape[1]:
            at = np.argmax(err, axis=1)
            peak = err[np.arange(err.shape[0]), at]
            better = peak > self.max_error
            self.max_error = np.where(better, peak, self.max_error)
            self.max_at = np.where(better, start + at, self.max_at)

    def prdn(self) -> np.ndarray:
        """Percent root-mean-square difference, normalised by the variance."""
        n = np.maximum(self.n, 1)
        var = self.s2 - self.s1 * self.s1 / n
        with np.errstate(divide="ignore", invalid="ignore"):
            out = 100.0 * np.sqrt(self.sse / var)
        return np.where(self.sse == 0, 0.0, np.where(var > 0, out, np.inf))


@dataclass
class ChunkSizes:
    """Bytes per channel over a record array's chunks and the settings the
    codec chose for each channel's lanes."""

    nbytes: np.ndarray
    settings: list = field(default_factory=list)  # one Counter per channel

    def describe(self, channel: int) -> str:
        return describe_settings(self.settings[channel])


def chunk_sizes(array) -> ChunkSizes:
    from .store import chunk_files
    from ._deps import require

    inspect_frame = require("vantoresk_zarr", "Reading stored chunks").inspect_frame
    n_ch = array.shape[0]
    nbytes = np.zeros(n_ch, dtype=np.int64)
    settings = [Counter() for _ in range(n_ch)]
    for _, raw in chunk_files(array):
        if raw is None:
            continue
        frame = inspect_frame(raw)
        lanes = frame.lanes
        lane_total = sum(lane.nbytes for lane in lanes)
        overhead = len(raw) - lane_total
        for c, lane in enumerate(lanes[:n_ch]):
            share = overhead // n_ch + (1 if c < overhead % n_ch else 0)
            nbytes[c] += lane.nbytes + share
            settings[c][lane_setting(lane)] += 1
    return ChunkSizes(nbytes, settings)


def lane_setting(lane) -> str:
    if lane.lossless:
        return "lossless"
    return f"{lane.method} s{lane.scale}"


def describe_settings(counts: Counter) -> str:
    """'cdf97 s9-11', 'lossless', or 'cdf97 s10 + 2 lossless' over chunks."""
    if not counts:
        return "-"
    lossless = counts.get("lossless", 0)
    lossy = {k: v for k, v in counts.items() if k != "lossless"}
    parts = []
    by_method: dict = {}
    for key in lossy:
        method, scale = key.split(" s")
        by_method.setdefault(method, []).append(int(scale))
    for method, scales in sorted(by_method.items()):
        lo, hi = min(scales), max(scales)
        parts.append(f"{method} s{lo}" if lo == hi else f"{method} s{lo}-{hi}")
    if lossless:
        parts.append("lossless" if not lossy else f"{lossless} lossless")
    return " + ".join(parts)


def ratio(raw_bytes: Optional[float], stored: int) -> Optional[float]:
    if raw_bytes is None or stored <= 0:
        return None
    return raw_bytes / stored


def finite_or_none(v: float) -> Optional[float]:
    return float(v) if math.isfinite(v) else None
