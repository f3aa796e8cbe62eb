"""Error targets that hold: the cheapest settings whose decoded signal meets them.

The codec quantises in steps of 2^-scale of each signal's own range, so a
fixed scale bounds the error only relative to a range that differs from
chunk to chunk. Here the scale is chosen per signal and the choice is
checked by decoding: the result meets the target or the signal is stored
exactly. Errors are measured in float64 against the values given (for
float64 input, against the float64 values, not their float32 rounding).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Dict, Optional, Tuple

import numpy as np

from vantoresk import VantrCompressionOptions, compress_signal, decompress_signal

from .settings import check_options, check_targets

# Values the container can carry and give back finite: the codec works in
# float32 and rebuilds samples as minimum + range * (mean + x), which must not
# overflow. Lanes beyond this are stored exactly instead.
_LARGEST = 2.0**124


@dataclass(frozen=True)
class TargetResult:
    """What `compress_to_target` chose and what it achieved.

    `container` and `options` are None when the signal must be stored
    exactly (`lossless`); the errors are then 0. `method`, `scale`, `cutoff`
    and `coder` repeat the chosen settings in readable form.
    """

    container: Optional[bytes]
    options: Optional[VantrCompressionOptions]
    lossless: bool
    max_abs_error: float
    prdn: float
    method: Optional[str] = None
    scale: Optional[int] = None
    cutoff: Optional[str] = None
    coder: Optional[str] = None


EXACT = TargetResult(None, None, True, 0.0, 0.0)


def measure(x: np.ndarray, y: np.ndarray, mask: Optional[np.ndarray] = None) -> Tuple[float, float]:
    """Largest absolute error and PRDN (percent) of `y` against `x`, over `mask`.

    PRDN = 100 * sqrt(sum((x - y)^2) / sum((x - mean(x))^2)); for a constant
    `x` it is 0 when `y` is exact and infinite otherwise.
    """
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    if mask is not None:
        x, y = x[mask], y[mask]
    if x.size == 0:
        return 0.0, 0.0
    with np.errstate(over="ignore", invalid="ignore"):
        diff = x - y
        max_err = float(np.max(np.abs(diff)))
        num = float(np.sum(diff * diff))  # not np.dot: BLAS threads stall on a busy machine
        den = float(np.sum((x - x.mean()) ** 2))
    if math.isnan(max_err):
        return math.inf, math.inf
    if den == 0.0:
        return max_err, 0.0 if num == 0.0 else math.inf
    return max_err, 100.0 * math.sqrt(num / den)


def representable(x: np.ndarray) -> bool:
    """Whether the container can carry these finite values without overflow."""
    return x.size > 0 and float(np.max(np.abs(x))) <= _LARGEST


@dataclass(frozen=True)
class _Trial:
    scale: int
    container: bytes
    max_abs_error: float
    prdn: float


def _start_scale(x: np.ndarray, limit: float, by_prdn: bool) -> int:
    """A first guess, so the search usually decodes twice.

    On recorded biosignals the largest error runs at about 2 to 4 quantisation
    steps (range * 2^-scale) and the RMS error at about 0.3 to 1 step.
    """
    if x.size == 0:
        return 6
    x = np.asarray(x, dtype=np.float64)  # float32 statistics overflow for values beyond about 1e19
    span = float(np.max(x)) - float(np.min(x))
    if not (0.0 < span < math.inf):
        return 6
    if by_prdn:
        spread = float(np.std(x))
        if not (0.0 < spread < math.inf):
            return 6
        ratio = 60.0 * span / (limit * spread)
    else:
        ratio = 2.5 * span / limit
    if not ratio > 0.0:
        return 6
    if ratio == math.inf:
        return 12
    return int(min(12, max(6, math.ceil(math.log2(ratio)))))


def search(x: np.ndarray, mask: Optional[np.ndarray], limit: float, by_prdn: bool,
           method: str, cutoff: str, coder: str) -> Optional[_Trial]:
    """The smallest container meeting the target, or None when no scale does."""
    trials: Dict[int, _Trial] = {}

    def meets(scale: int) -> bool:
        if scale not in trials:
            container = compress_signal(x, VantrCompressionOptions(method, scale, cutoff, coder))
            err, prdn = measure(x, decompress_signal(container), mask)
            trials[scale] = _Trial(scale, container, err, prdn)
        t = trials[scale]
        return (t.prdn if by_prdn else t.max_abs_error) <= limit

    scale = _start_scale(x if mask is None else x[mask], limit, by_prdn)
    if meets(scale):
        while scale > 6 and meets(scale - 1):
            scale -= 1
    else:
        scale += 1
        while scale <= 12 and not meets(scale):
            scale += 1
        if scale > 12:
            return None
    good = [t for t in trials.values() if (t.prdn if by_prdn else t.max_abs_error) <= limit]
    return min(good, key=lambda t: (len(t.container), t.scale))


def choose(x: np.ndarray, *, mask: Optional[np.ndarray] = None, max_abs_error: Optional[float] = None,
           max_prdn: Optional[float] = None, method: str = "cdf97", scale: int = 11, cutoff: str = "low",
           coder: Optional[str] = "auto", measure_fixed: bool = True) -> TargetResult:
    """Settings for one finite 1-D signal (the core of `compress_to_target`).

    `mask` leaves samples out of the error measures (lanes whose non-finite
    samples were bridged). With no target, `scale` is used as given and the
    errors are measured only when `measure_fixed` is set (NaN otherwise).
    """
    if not representable(x):  # bridged samples copy finite ones, so x itself tells
        return EXACT
    coder = "auto" if coder is None else coder  # auto switches to DEFLATE where rANS cannot decode
    if max_abs_error is None and max_prdn is None:
        options = VantrCompressionOptions(method, scale, cutoff, coder)
        container = compress_signal(x, options)
        err = prdn = math.nan
        if measure_fixed:
            err, prdn = measure(x, decompress_signal(container), mask)
        return TargetResult(container, options, False, err, prdn, method, scale, cutoff, coder)
    by_prdn = max_prdn is not None
    limit = float(max_prdn if by_prdn else max_abs_error)
    best = search(x, mask, limit, by_prdn, method, cutoff, coder)
    if best is None or len(best.container) >= x.size * x.dtype.itemsize:
        return EXACT  # nothing meets the target, or the exact values are no larger
    options = VantrCompressionOptions(method, best.scale, cutoff, coder)
    return TargetResult(best.container, options, False, best.max_abs_error, best.prdn,
                        method, best.scale, cutoff, coder)


def compress_to_target(x: np.ndarray, *, max_abs_error: Optional[float] = None, max_prdn: Optional[float] = None,
                       method: str = "cdf97", scale: int = 11, cutoff: str = "low",
                       coder: Optional[str] = "auto") -> TargetResult:
    """Compress a 1-D float32 or float64 array to meet an error target.

    Give `max_abs_error` (largest absolute error, in the data's units) or
    `max_prdn` (percent), or neither to use `scale` as given. With a target
    the scale is chosen: the cheapest container whose decoded samples meet
    the target, checked by decoding. When no scale meets it (or the samples
    cannot go into a container), the result is `lossless` with no container:
    store the samples themselves. `scale` is ignored when a target is given.
    """
    abs_t, prdn_t = check_targets(max_abs_error, max_prdn)
    if isinstance(abs_t, tuple) or isinstance(prdn_t, tuple):
        raise ValueError("compress_to_target takes one target number; per-lane lists belong to encode_lanes")
    check_options(method, scale, cutoff, coder)
    arr = np.asarray(x)
    if arr.ndim != 1 or arr.dtype.kind != "f" or arr.dtype.itemsize not in (4, 8):
        raise ValueError(f"expected a 1-D float32 or float64 array, got {arr.ndim}-D {arr.dtype}")
    if arr.size == 0:
        raise ValueError("cannot compress an empty array")
    if not np.all(np.isfinite(arr)):
        raise ValueError("the array holds NaN or infinite samples, which a container cannot restore; "
                         "encode_lanes keeps them")
    arr = np.ascontiguousarray(arr, dtype=arr.dtype.newbyteorder("="))
    return choose(arr, max_abs_error=abs_t, max_prdn=prdn_t, method=method, scale=int(scale), cutoff=cutoff,
                  coder=coder)

