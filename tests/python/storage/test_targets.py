"""Error targets hold lane by lane, on real recordings and synthetic signals."""

from __future__ import annotations

import math

import numpy as np
import pytest

from storage_helpers import SHARED, ecg_60s, errors
from vantoresk import decompress_signal
from vantoresk_zarr import compress_to_target, decode_lanes, encode_lanes, inspect_frame

RNG = np.random.default_rng(7)
T = np.arange(20000) / 500.0


def _eeg():
    path = SHARED / "eegmat_s00r1_fz.npy"
    if not path.is_file():
        pytest.skip(f"{path} is absent")
    return np.load(path)[:30000], 0.0019


SIGNALS = {
    "ecg-mlii": lambda: (ecg_60s()[0], 0.005),
    "ecg-v5-f64": lambda: (ecg_60s()[1].astype(np.float64), 0.005),
    "eeg-fz": _eeg,
    "sine+noise": lambda: (np.sin(2 * np.pi * 7 * T) + 0.01 * RNG.normal(size=T.size), 1e-3),
    "steps": lambda: (np.repeat(RNG.normal(size=200), 100) * 50, 0.05),
    "spiky": lambda: (np.where(RNG.random(20000) < 0.001, 1e4, RNG.normal(size=20000)), 0.01),
    "offset": lambda: (1e4 + np.cos(T).astype(np.float32), 1e-3),
}


@pytest.mark.parametrize("name", SIGNALS)
@pytest.mark.parametrize("kind", ["max_abs_error", "max_prdn"])
def test_target_holds_and_is_reported_truthfully(name, kind):
    x, step = SIGNALS[name]()
    target = step if kind == "max_abs_error" else 0.5
    res = compress_to_target(x, **{kind: target})
    got = x if res.lossless else decompress_signal(res.container)
    err, prdn = errors(x, got)
    assert (err if kind == "max_abs_error" else prdn) <= target
    assert math.isclose(err, res.max_abs_error, rel_tol=1e-12, abs_tol=0) and math.isclose(prdn, res.prdn, rel_tol=1e-9)
    if not res.lossless:
        # The cheapest scale: one step coarser misses the target or is no smaller.
        coarser = compress_to_target(x, scale=res.scale - 1, method=res.method) if res.scale > 6 else None
        if coarser is not None:
            c_err = coarser.max_abs_error if kind == "max_abs_error" else coarser.prdn
            assert c_err > target or len(coarser.container) >= len(res.container)


@pytest.mark.parametrize("kind,target", [("max_abs_error", 1e-9), ("max_prdn", 1e-7)])
def test_targets_finer_than_scale_12_fall_back_to_exact_storage(kind, target):
    ecg = ecg_60s()
    res = compress_to_target(ecg[0], **{kind: target})
    assert res.lossless and res.container is None and res.options is None and res.max_abs_error == 0.0
    frame = encode_lanes(ecg, **{kind: target})
    assert all(l.lossless for l in inspect_frame(frame).lanes)
    assert np.array_equal(decode_lanes(frame), ecg)
    assert len(frame) < ecg.nbytes  # the exact lanes are still packed


def test_exact_storage_wins_when_it_is_cheaper_than_any_container():
    # Few exact values, repeated: exact storage beats the container that meets the target.
    x = np.tile(np.repeat(np.float32([0, 1, 0.5, 0.25]), 25), 20)
    container = compress_to_target(x, max_abs_error=1e-3).container
    frame = encode_lanes(x, max_abs_error=1e-3)
    assert inspect_frame(frame).lanes[0].kind in ("deflate", "shuffled", "grid") and len(frame) < len(container)
    assert np.array_equal(decode_lanes(frame), x)
    assert inspect_frame(encode_lanes(x, scale=11)).lanes[0].kind == "container"  # fixed settings stay as asked


def test_per_lane_targets_hold_lane_by_lane():
    ecg = ecg_60s()
    frame = encode_lanes(ecg, max_abs_error=[0.05, 0.02])
    lanes = inspect_frame(frame).lanes
    err = np.max(np.abs(decode_lanes(frame).astype(np.float64) - ecg), axis=1)
    assert err[0] <= 0.05 and err[1] <= 0.02
    # The looser lane is the smaller one, lane for lane against the same targets swapped.
    swapped = inspect_frame(encode_lanes(ecg, max_abs_error=[0.02, 0.05])).lanes
    assert lanes[0].nbytes < swapped[0].nbytes and lanes[1].nbytes > swapped[1].nbytes


def test_fixed_settings_report_measured_errors():
    x = ecg_60s()[0]
    res = compress_to_target(x, method="sym4", scale=8, cutoff="medium", coder="deflate")
    assert (res.method, res.scale, res.cutoff, res.coder, res.lossless) == ("sym4", 8, "medium", "deflate", False)
    assert (res.max_abs_error, res.prdn) == pytest.approx(errors(x, decompress_signal(res.container)))


@pytest.mark.parametrize("x,target,match", [
    (np.array([1.0, np.nan]), 0.1, "NaN or infinite"),
    (np.zeros((2, 3)), 0.1, "1-D float32 or float64"),
    (np.arange(5), 0.1, "1-D float32 or float64"),
    (np.zeros(0), 0.1, "empty"),
    (np.ones(10), [0.1], "one target number"),
])
def test_compress_to_target_refusals(x, target, match):
    with pytest.raises(ValueError, match=match):
        compress_to_target(x, max_abs_error=target)
