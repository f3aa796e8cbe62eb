"""Shared helpers for the HDF5 filter tests: signals, fresh processes, outside tools."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[3]
EXAMPLES = REPO / "examples"


def ecg_60s() -> np.ndarray:
    """(2, 21600) float32 mV: one minute of MIT-BIH record 100, leads MLII and V5 (ADC step 0.005 mV)."""
    data = EXAMPLES / "data"
    return np.stack([np.load(data / "mitdb100_mlii_60s.npy"), np.load(data / "mitdb100_v5_60s.npy")])


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal shape and every bit of every value (NaN payloads and -0.0 included), whatever the byte order."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype.itemsize != b.dtype.itemsize or a.dtype.kind != b.dtype.kind:
        return False
    native = a.dtype.newbyteorder("=")
    u = np.dtype(f"u{a.dtype.itemsize}")
    return np.array_equal(a.astype(native).view(u), b.astype(native).view(u))


def run_python(code: str, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (nothing imported or registered yet)."""
    full = dict(os.environ)
    full.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=full)


def plugin_env() -> dict:
    import vantoresk_hdf5

    return {"HDF5_PLUGIN_PATH": vantoresk_hdf5.PLUGIN_PATH}


def need_tool(name: str) -> str:
    """The tool's path; a clean skip when it is absent here, a failure where the run requires outside tools."""
    path = shutil.which(name)
    if path is None:
        if os.environ.get("VANTORESK_REQUIRE_TOOLS"):
            pytest.fail(f"{name} is required (VANTORESK_REQUIRE_TOOLS is set) but not installed")
        pytest.skip(f"{name} is not installed here (tools/install_system_packages.sh --with-test-tools installs it)")
    return path
