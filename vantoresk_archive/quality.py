"""What a conversion cost, measured against the source samples: running
per-channel error statistics over blocks, and the chunk sizes per channel."""

from __future__ import annotations

import math
from collections import Counter
from dataclasses import dataclass, field
from typing import Optional

import numpy as np


@dataclass
class ErrorStats:
    """Per channel: sample count, mean, sum of squared deviations, sum of
    squared errors, the largest error and where it is. Made per block and
    merged in block order (pairwise update of mean and deviations), so
    serial and parallel runs give the same figures to the last bit."""

    n: np.ndarray
    mean: np.ndarray
    m2: np.ndarray
    sse: np.ndarray
    max_error: np.ndarray
    max_at: np.ndarray
    nonfinite_mismatch: np.ndarray

    @classmethod
    def empty(cls, n_channels: int) -> "ErrorStats":
        z = np.zeros(n_channels)
        zi = np.zeros(n_channels, dtype=np.int64)
        return cls(zi.copy(), z.copy(), z.copy(), z.copy(), z.copy(), zi.copy(), zi.copy())

    @classmethod
    def of_block(cls, source: np.ndarray, decoded: np.ndarray, start: int) -> "ErrorStats":
        x = np.asarray(source, dtype=np.float64)
        y = np.asarray(decoded, dtype=np.float64)
        fin = np.isfinite(x)
        # Non-finite samples must come back as they were (NaN for NaN).
        same = (x == y) | (np.isnan(x) & np.isnan(y))
        mismatch = np.sum(~fin & ~same, axis=1)
        xf = np.where(fin, x, 0.0)
        n = fin.sum(axis=1)
        mean = xf.sum(axis=1) / np.maximum(n, 1)
        d = np.where(fin, xf - mean[:, None], 0.0)
        with np.errstate(invalid="ignore"):
            err = np.where(fin, np.abs(y - xf), 0.0)
        err = np.where(np.isnan(err), np.inf, err)
        if err.shape[1]:
            at = np.argmax(err, axis=1)
            peak = err[np.arange(err.shape[0]), at]
        else:
            at, peak = np.zeros(err.shape[0], dtype=np.int64), np.zeros(err.shape[0])
        return cls(n.astype(np.int64), mean, (d * d).sum(axis=1), (err * err).sum(axis=1),
                   peak, (start + at).astype(np.int64), mismatch.astype(np.int64))

    def merge(self, other: "ErrorStats") -> "ErrorStats":
        """These statistics followed by `other`'s (a later block)."""
        n = self.n + other.n
        safe = np.maximum(n, 1)
        delta = other.mean - self.mean
        mean = np.where(n > 0, self.mean + delta * other.n / safe, 0.0)
        m2 = self.m2 + other.m2 + delta * delta * self.n * other.n / safe
        later = other.max_error > self.max_error
        return ErrorStats(n, mean, m2, self.sse + other.sse, np.where(later, other.max_error, self.max_error),
                          np.where(later, other.max_at, self.max_at),
                          self.nonfinite_mismatch + other.nonfinite_mismatch)

    @classmethod
    def merged(cls, n_channels: int, blocks: list) -> "ErrorStats":
        total = cls.empty(n_channels)
        for block in blocks:
            total = total.merge(block)
        return total

    def prdn(self) -> np.ndarray:
        """Percent root-mean-square difference, normalised by the variance."""
        var = self.m2
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
        if raw is None:  # reads would give the fill value: say so
            for c in range(n_ch):
                settings[c]["missing"] += 1
            continue
        try:
            frame = inspect_frame(raw)
        except ValueError:  # say so per channel rather than fail the listing
            nbytes += len(raw) // n_ch
            for c in range(n_ch):
                settings[c]["damaged"] += 1
            continue
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
    if lane.kind == "near-lossless":
        return "near-lossless"
    return f"{lane.method} s{lane.scale}"


def describe_settings(counts: Counter) -> str:
    """'cdf97 s9-11', 'lossless', or 'cdf97 s10 + 2 lossless' over chunks."""
    if not counts:
        return "-"
    lossless = counts.get("lossless", 0)
    damaged, missing = counts.get("damaged", 0), counts.get("missing", 0)
    near = counts.get("near-lossless", 0)
    lossy = {k: v for k, v in counts.items() if k not in ("lossless", "near-lossless", "damaged", "missing")}
    parts = []
    by_method: dict = {}
    for key in lossy:
        method, scale = key.split(" s")
        by_method.setdefault(method, []).append(int(scale))
    for method, scales in sorted(by_method.items()):
        lo, hi = min(scales), max(scales)
        parts.append(f"{method} s{lo}" if lo == hi else f"{method} s{lo}-{hi}")
    if near:
        parts.append("near-lossless" if not (lossy or lossless) else f"{near} near-lossless")
    if lossless:
        parts.append("lossless" if not (lossy or near) else f"{lossless} lossless")
    if damaged:
        parts.append(f"{damaged} DAMAGED")
    if missing:
        parts.append(f"{missing} MISSING")
    return " + ".join(parts)


def ratio(raw_bytes: Optional[float], stored: int) -> Optional[float]:
    if raw_bytes is None or stored <= 0:
        return None
    return raw_bytes / stored


def finite_or_none(v: float) -> Optional[float]:
    return float(v) if math.isfinite(v) else None
