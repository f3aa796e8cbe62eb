"""Signals at the ends of float32 through the module: small ranges in large
units are kept, and magnitudes near the float32 limit come back finite or
are refused with a message."""

import numpy as np
import pytest

from vantoresk import VantrCompressionOptions as O
from vantoresk import compress_signal, decompress_signal
from vantoresk_zarr.vocabulary import METHODS, SCALES

FLT_MAX = float(np.finfo(np.float32).max)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("amplitude", [1e-6, 4.9e-6, 5.1e-6, 4.9e-9, 1e-30])
def test_quiet_signal_in_large_units_is_kept(amplitude, dtype):
    # 1e-6 V is 1 uV: an EEG channel stored in volts.
    x = (amplitude * np.sin(np.arange(4000) / 20)).astype(dtype)
    y = decompress_signal(compress_signal(x))
    span = float(x.max() - x.min())
    assert np.ptp(y) > 0.9 * span
    assert np.max(np.abs(y - x.astype(np.float32))) <= 0.01 * span


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("scale", SCALES)
def test_near_float_limit_is_finite_or_refused(method, scale):
    step = np.r_[np.zeros(32), np.full(32, 3.4e38)].astype(np.float32)
    with pytest.raises(ValueError, match="float32 limit"):
        compress_signal(step, O(method, scale))
    with pytest.raises(ValueError, match="float32 limit"):
        compress_signal(-step, O(method, scale))

    # Half a range of room is enough, at either sign.
    for sign in (1.0, -1.0):
        x = sign * np.r_[np.zeros(32), np.full(32, 0.66 * FLT_MAX)].astype(np.float32)
        y = decompress_signal(compress_signal(x, O(method, scale, "high")))
        assert np.all(np.isfinite(y))
        assert np.max(np.abs(y.astype(np.float64) - x)) <= 0.25 * 0.66 * FLT_MAX
