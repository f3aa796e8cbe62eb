"""Properties checked on one input by the Python-level fuzzers and replays.

Each function takes the raw bytes a fuzzer produced and raises
AssertionError when a property fails; any other exception escaping is a
finding too. Importing this module needs only NumPy and vantoresk, so the
committed corpora replay where atheris is not installed.

decompress_one   any bytes given to decompress_signal: a float32 array of
                 exactly the header's sample count, or ValueError with a
                 message.
roundtrip_one    options and samples decoded from the bytes (see
                 `signal_and_options`), compressed and decompressed: the same
                 container twice, finite output of the input's length within
                 the error bound; refusals only with ValueError and a message.
"""

from __future__ import annotations

import numpy as np

from vantoresk import VantrCompressionOptions, compress_signal, decompress_signal
from vantoresk_zarr import vocabulary

# Input bytes pick choices by position in these tables, so their order is
# fixed by the committed corpora; their names are the codec's.
METHODS = ("cdf53", "cdf97", "db4", "sym4")
CUTOFFS = ("low", "medium", "high")
CODERS = ("auto", "deflate", "arans")
assert (set(METHODS), CUTOFFS, set(CODERS)) == (set(vocabulary.METHODS), vocabulary.CUTOFFS, set(vocabulary.CODERS))
DEAD_ZONE_BASE = (0, 0, 1, 1, 2, 2, 3)  # scales 6..12
DEAD_ZONE_MULTIPLIER = (1, 3, 7)  # low, medium, high
HEADER_SIZE = 52


def decompress_one(data: bytes) -> None:
    try:
        out = decompress_signal(data)
    except ValueError as e:
        assert str(e), "ValueError without a message"
        return
    assert isinstance(out, np.ndarray)
    assert out.dtype == np.float32 and out.ndim == 1
    assert len(data) >= HEADER_SIZE
    assert out.shape[0] == int.from_bytes(data[16:20], "little")


def signal_and_options(data: bytes) -> tuple[np.ndarray, VantrCompressionOptions, str, int]:
    """First byte: method (bits 0-1), cutoff (2-3), coder (4-5), float64 (6);
    second byte: scale 6..12; the rest: the samples' raw bytes."""
    head = data[:2].ljust(2, b"\0")
    method = METHODS[head[0] & 3]
    cutoff_index = min((head[0] >> 2) & 3, 2)
    coder = CODERS[min((head[0] >> 4) & 3, 2)]
    dtype = np.float64 if head[0] & 0x40 else np.float32
    scale = 6 + head[1] % 7
    body = data[2:]
    body = body[: len(body) - len(body) % np.dtype(dtype).itemsize]
    samples = np.frombuffer(body, dtype=dtype)
    return samples, VantrCompressionOptions(method, scale, CUTOFFS[cutoff_index], coder), CUTOFFS[cutoff_index], scale


def sanitised(samples: np.ndarray) -> np.ndarray:
    """The float32 values the codec measures: NaN and -inf as 0, +inf as 1."""
    with np.errstate(over="ignore", invalid="ignore"):
        x = samples.astype(np.float32)
    x = np.where(np.isnan(x) | (x == -np.inf), np.float32(0), x)
    return np.where(x == np.inf, np.float32(1), x).astype(np.float32)


def roundtrip_one(data: bytes) -> None:
    samples, options, cutoff, scale = signal_and_options(data)
    try:
        container = compress_signal(samples, options)
    except ValueError as e:
        assert str(e), "ValueError without a message"
        return
    assert samples.size > 0, "empty input accepted"
    assert compress_signal(samples, options) == container, "not deterministic"
    out = decompress_signal(container)
    assert out.dtype == np.float32 and out.shape == samples.shape
    assert np.all(np.isfinite(out)), "finite input decoded to a non-finite sample"

    x = sanitised(samples).astype(np.float64)
    lo, hi = x.min(), x.max()
    span = hi - lo
    threshold = DEAD_ZONE_BASE[scale - 6] * DEAD_ZONE_MULTIPLIER[CUTOFFS.index(cutoff)]
    bound = 12.0 * (threshold + 1) * 2.0**-scale * span
    with np.errstate(over="ignore", divide="ignore"):
        flat = not np.isfinite(np.float32(1) / np.float32(span))
    if flat:
        bound = span  # every sample becomes the minimum
    # The final float32 rounding of each sample, a few ulps of the largest
    # magnitude, which a tiny range on a large offset does not cover.
    bound += 8 * float(np.spacing(np.float32(max(abs(lo), abs(hi)))))
    error = np.max(np.abs(out.astype(np.float64) - x))
    assert error <= bound, f"error {error!r} above {bound!r} (range {span!r})"
