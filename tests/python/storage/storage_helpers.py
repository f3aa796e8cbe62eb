"""Shared helpers for the storage tests: data, signals and bit-exact comparison."""

from __future__ import annotations

import pathlib
import subprocess
import sys

import numpy as np

REPO = pathlib.Path(__file__).resolve().parents[3]
EXAMPLES = REPO / "examples"
FRAMES = REPO / "tests" / "fixtures" / "frames"
SHARED = pathlib.Path("/work/shared/data")


def ecg_60s() -> np.ndarray:
    """(2, 21600) float32: one minute of MIT-BIH record 100, leads MLII and V5."""
    data = EXAMPLES / "data"
    return np.stack([np.load(data / "mitdb100_mlii_60s.npy"), np.load(data / "mitdb100_v5_60s.npy")])


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal dtype, shape and every bit (NaN payloads and -0.0 included)."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    u = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}[a.dtype.itemsize]
    return np.array_equal(np.ascontiguousarray(a).view(u), np.ascontiguousarray(b).view(u))


def run_python(code: str) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter (nothing imported or registered yet)."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def errors(x: np.ndarray, y: np.ndarray):
    """Largest absolute error and PRDN (percent) in float64."""
    x = np.asarray(x, np.float64)
    d = x - np.asarray(y, np.float64)
    den = np.sum((x - x.mean()) ** 2)
    prdn = 0.0 if not d.any() else (np.inf if den == 0 else 100 * np.sqrt(np.sum(d * d) / den))
    return float(np.max(np.abs(d))), float(prdn)
