"""Property-based round trips: any finite signal comes back with its length
and an error bounded by the scale and the dead zone."""

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from vantoresk import VantrCompressionOptions, compress_signal, decompress_signal
from vantoresk_zarr.vocabulary import METHODS

CUTOFF_MULTIPLIER = {"low": 1, "medium": 3, "high": 7}
BASE_THRESHOLD = {6: 0, 7: 0, 8: 1, 9: 1, 10: 2, 11: 2, 12: 3}

# Worst-case gain from coefficient errors to sample errors, over every
# method and level count: about 3.7 measured for cdf53, 2.1 for the others.
GAIN = 6.0


def error_bound(signal, scale, cutoff):
    """Largest sample error the codec may make on `signal`.

    Every coefficient is off by less than one quantisation step 2^-scale of
    the normalised signal, or by less than the dead zone when it is zeroed;
    the inverse transform spreads that over the samples with a bounded gain.
    The normalisation maps the signal's range to 1, and float32 rounding of
    the reconstruction adds a few ulps of the largest magnitude.
    """
    lo, hi = float(signal.min()), float(signal.max())
    span = hi - lo
    zone = BASE_THRESHOLD[scale] * CUTOFF_MULTIPLIER[cutoff]
    steps = max(zone, 1)
    rounding = 8 * np.spacing(np.float32(max(abs(lo), abs(hi))))
    with np.errstate(divide="ignore", over="ignore"):
        flat = not np.isfinite(np.float32(1) / (np.float32(hi) - np.float32(lo)))
    if flat:
        return span + rounding  # a range too small to invert: rebuilt as a constant
    return span * GAIN * steps / 2.0**scale + rounding


finite = st.floats(min_value=-1e4, max_value=1e4, allow_nan=False, allow_infinity=False, width=32)


@st.composite
def signals(draw):
    n = draw(st.integers(1, 3000))
    kind = draw(st.sampled_from(["random", "plateau", "trend", "steps", "smooth"]))
    if kind == "random":
        return draw(hnp.arrays(np.float32, n, elements=finite))
    lo = draw(finite)
    height = draw(st.floats(2.0**-10, 2.0**10, width=32))
    x = np.arange(n, dtype=np.float64)
    if kind == "plateau":
        a = np.full(n, lo)
        start = draw(st.integers(0, n))
        a[start : start + draw(st.integers(0, n))] += height
    elif kind == "trend":
        a = lo + height * x / max(n - 1, 1)
    elif kind == "steps":
        k = draw(st.integers(1, 8))
        a = lo + height * np.floor(x * k / n) / k
    else:
        period = draw(st.floats(2.0, 500.0))
        a = lo + height * (0.5 + 0.5 * np.sin(2 * np.pi * x / period))
    noise = draw(st.floats(0.0, 0.05))
    seed = draw(st.integers(0, 2**32 - 1))
    a = a + noise * height * np.random.default_rng(seed).standard_normal(n)
    return a.astype(np.float32)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    signal=signals(),
    method=st.sampled_from(METHODS),
    scale=st.integers(6, 12),
    cutoff=st.sampled_from(list(CUTOFF_MULTIPLIER)),
    coder=st.sampled_from([None, "deflate", "arans"]),
)
def test_round_trip_error_is_bounded(signal, method, scale, cutoff, coder):
    container = compress_signal(signal, VantrCompressionOptions(method, scale, cutoff, coder))
    out = decompress_signal(container)
    assert out.dtype == np.float32 and out.shape == signal.shape
    assert np.all(np.isfinite(out))
    err = float(np.max(np.abs(out.astype(np.float64) - signal.astype(np.float64))))
    assert err <= error_bound(signal, scale, cutoff)


@settings(max_examples=60, deadline=None)
@given(signal=signals(), scale=st.integers(6, 12))
def test_float64_input_round_trips_like_its_float32_cast(signal, scale):
    opts = VantrCompressionOptions(scale=scale)
    wide = signal.astype(np.float64) + 1e-9  # not exactly representable any more
    assert compress_signal(wide, opts) == compress_signal(wide.astype(np.float32), opts)
