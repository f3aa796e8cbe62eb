"""The storage examples run and check themselves (each asserts its error target)."""

from __future__ import annotations

import importlib.metadata
import os
import subprocess
import sys

import pytest

from storage_helpers import EXAMPLES, SHARED


def _hdmf_zarr_writes_v3() -> bool:
    try:
        major, minor = (int(p) for p in importlib.metadata.version("hdmf-zarr").split(".")[:2])
    except importlib.metadata.PackageNotFoundError:
        return False
    return (major, minor) >= (0, 14)


def run_example(script, tmp_path, in_repo):
    env = dict(os.environ)
    if in_repo:  # as on a machine without the shared data folder
        env.update(VANTORESK_DATA="", VANTORESK_NO_SHARED="1")
    else:  # named outright: the checkout need not sit beside it
        env.update(VANTORESK_DATA=str(SHARED))
    res = subprocess.run([sys.executable, str(EXAMPLES / script), "--seconds", "30"], capture_output=True,
                         text=True, timeout=300, env=env, cwd=tmp_path)
    assert res.returncode == 0, res.stdout + res.stderr
    assert "largest error" in res.stdout
    return res.stdout


@pytest.mark.parametrize("script", [
    "zarr_v3.py",
    "zarr_v2.py",
    pytest.param("nwb_zarr.py", marks=pytest.mark.skipif(
        not _hdmf_zarr_writes_v3(),
        reason="NWB on Zarr v3 with a serializer needs hdmf-zarr 0.14 or newer, which needs Python 3.12+")),
])
def test_example_runs_on_the_data_in_the_repository(script, tmp_path):
    assert f"source: {EXAMPLES / 'data'}" in run_example(script, tmp_path, in_repo=True)


@pytest.mark.skipif(not SHARED.is_dir(), reason=f"{SHARED} is absent")
def test_example_prefers_the_shared_recording(tmp_path):
    assert f"source: {SHARED}" in run_example("zarr_v3.py", tmp_path, in_repo=False)
