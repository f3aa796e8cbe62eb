"""Exact lanes on an affine grid: the body of lane kind 4.

Recordings are integer ADC samples scaled to physical units, so a lane's
values are `dtype(a + b * k)` for integers k. Storing the k instead of the
float values lets a few bits per sample carry what otherwise costs the
whole float. The grid is found from the values alone: the common gap
between neighbouring distinct values gives a first step, a least-squares
fit in float64 refines the offset `a` and step `b`, and a per-sample
correction makes the decoded bits exact for any input.

The body's layout is documented with the frame format in `frame.py`.
"""

from __future__ import annotations

import struct
import zlib
from typing import Optional, Tuple

import numpy as np

HEAD = struct.Struct("<ddBBBxI")
_U32 = struct.Struct("<I")
_WIDTHS = (1, 2, 4, 8)
_UNSIGNED = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}
_SIGNED = {4: np.int32, 8: np.int64}
_MAX_ORDER = 3
_MAX_DIVISOR = 64
_STRATEGIES = (zlib.Z_DEFAULT_STRATEGY, zlib.Z_RLE)
_MAX_STEPS = 2.0**40  # a lane spanning more grid steps than this is not treated as a grid
_MIN_ON_GRID = 0.5  # at least this share of distinct values must sit on the fitted grid


class GridError(ValueError):
    """A grid body that cannot be decoded."""


# --- finding the grid ---------------------------------------------------------------------


def _line(k: np.ndarray, u: np.ndarray, w: np.ndarray) -> Tuple[float, float]:
    """Weighted least-squares a, b for u = a + b * k (float64); NaN when the weights say nothing."""
    with np.errstate(all="ignore"):
        w = w / w.sum()
        # Plain sums, not BLAS: a thread pool's start-up costs more than these few passes.
        km, um = float((w * k).sum()), float((w * u).sum())
        kc = k - km
        den = float((w * kc * kc).sum())
        if not den > 0.0:
            return um, float("nan")
        b = float((w * kc * (u - um)).sum()) / den
        return um - b * km, b


def _first_step(u: np.ndarray) -> float:
    """The grid step suggested by the gaps between distinct values (0 when there is none)."""
    gaps = np.diff(u)
    low = float(np.percentile(gaps, 10))
    near = gaps[(gaps > 0.5 * low) & (gaps < 1.5 * low)]
    step = float(np.median(near)) if near.size else low
    if not (np.isfinite(step) and step > 0):
        return 0.0
    # Sparse lanes may use only every n-th level (gaps of 21 and 22 steps, say):
    # the step is the largest divisor of the common gap that all short gaps are multiples of.
    short = gaps[gaps <= 64 * step]
    for n in range(1, _MAX_DIVISOR + 1):
        ratio = short / (step / n)
        if np.count_nonzero(np.abs(ratio - np.rint(ratio)) <= 0.01) >= 0.95 * short.size:
            return step / n
    return step


def _weights(u: np.ndarray, dtype: np.dtype, step: float) -> np.ndarray:
    """Small values are stored to within a small spacing: trust them in proportion."""
    with np.errstate(all="ignore"):  # strays near the dtype's largest values weigh nothing
        spacing = np.spacing(np.abs(u).astype(dtype)).astype(np.float64)
        return 1.0 / np.maximum(spacing, step * 2.0**-30) ** 2


def find_grid(values: np.ndarray) -> Optional[Tuple[float, float]]:
    """The offset a and step b of a grid the finite `values` lie on, or None."""
    u = np.unique(values).astype(np.float64)
    if u.size < 2:
        return (float(u[0]) if u.size else 0.0), 1.0
    step = _first_step(u)
    # A few strays far off the grid are left to the corrections: the span is the bulk's.
    lo, hi = np.percentile(u, [0.5, 99.5])
    with np.errstate(all="ignore"):
        span = (hi - lo) / step if step > 0 else np.inf
    if not span <= _MAX_STEPS:
        return None
    weight = _weights(u, values.dtype, step)
    # The first step is only as good as a few gaps' rounding: fit on the values
    # near the middle, then widen the window as the step gets sharper.
    a, b = float(u[u.size // 2]), step
    window = 256.0
    while True:
        with np.errstate(all="ignore"):
            k = np.rint((u - a) / b)
        use = (np.abs(k) <= window) & (np.abs(u - (a + b * k)) <= 0.25 * b)
        if np.count_nonzero(use) < 2:
            return None
        a, b = _line(k[use], u[use], weight[use])
        if not (np.isfinite(a) and np.isfinite(b) and b > 0):
            return None
        if window >= span:
            break
        window *= 64.0
    with np.errstate(all="ignore"):
        k = np.rint((u - a) / b)
        on = np.abs(u - (a + b * k)) <= 0.01 * b
    if np.count_nonzero(on) < max(2, _MIN_ON_GRID * u.size):
        return None
    return a, b


# --- coding ---------------------------------------------------------------------------------


def _narrowest(top: int) -> int:
    for width in _WIDTHS:
        if top < 256**width:
            return width
    return 8


def _shuffle(zz: np.ndarray, width: int) -> bytes:
    """Unsigned integers at `width` bytes, little-endian, all first bytes first."""
    return zz.astype(f"<u{width}").view(np.uint8).reshape(-1, width).T.tobytes()


def _deflate(raw: bytes, strategy: int) -> bytes:
    packer = zlib.compressobj(6, zlib.DEFLATED, -15, 9, strategy)
    return packer.compress(raw) + packer.flush()


def _zigzag(signed: np.ndarray, bits: int) -> np.ndarray:
    """Signed integers (of `bits` bits) as unsigned: 0, -1, 1, -2, ... -> 0, 1, 2, 3, ..."""
    s = signed.astype(_SIGNED[bits // 8])
    return ((s << 1) ^ (s >> (bits - 1))).view(_UNSIGNED[bits // 8])


def _unzigzag(zz: np.ndarray, bits: int) -> np.ndarray:
    z = zz.astype(_UNSIGNED[bits // 8])
    return ((z >> 1) ^ (np.zeros_like(z) - (z & 1))).view(_SIGNED[bits // 8])


def _differences(k: np.ndarray, order: int) -> np.ndarray:
    d = k
    for _ in range(order):
        d = np.diff(d, prepend=0)
    return d


def _reconstruct(a: float, b: float, k: np.ndarray, dtype: np.dtype) -> np.ndarray:
    with np.errstate(all="ignore"):
        return (a + b * k.astype(np.float64)).astype(dtype)


def grid_body(values: np.ndarray) -> Optional[bytes]:
    """A kind 4 body for finite `values` (float32 or float64, native order), or None when they lie on no grid."""
    found = find_grid(values)
    if found is None:
        return None
    a, b = found
    dtype = values.dtype
    with np.errstate(all="ignore"):
        q = np.rint((values.astype(np.float64) - a) / b)
    q[~(np.abs(q) <= _MAX_STEPS)] = 0  # far off the grid: the correction carries the value
    k = q.astype(np.int64)
    size = dtype.itemsize
    uint = _UNSIGNED[size]
    corr = values.view(uint) - _reconstruct(a, b, k, dtype).view(uint)  # modulo 2**(8 * size)
    where = np.flatnonzero(corr)
    czz = _zigzag(corr[where].view(_SIGNED[size]), 8 * size)
    cwidth = _narrowest(int(czz.max())) if where.size else 0
    # The fixed-order predictor with the fewest bits of residual (order 1 suits noisy
    # lanes, 2 and 3 smooth ones), then the DEFLATE strategy that gives fewer bytes.
    costs = [float(np.log2(np.abs(_differences(k, order)) + 1.0).sum()) for order in range(1, _MAX_ORDER + 1)]
    order = 1 + int(np.argmin(costs))
    dzz = _zigzag(_differences(k, order), 64)
    dwidth = _narrowest(int(dzz.max()) if dzz.size else 0)
    best: Optional[Tuple[int, int, bytes]] = None
    for strategy in _STRATEGIES:
        stream = _deflate(_shuffle(dzz, dwidth), strategy)
        if best is None or len(stream) < len(best[2]):
            best = (order, dwidth, stream)
    order, dwidth, dstream = best
    body = HEAD.pack(a, b, order, dwidth, cwidth, len(dstream)) + dstream
    if not cwidth:
        return body
    gaps = np.diff(where, prepend=0)
    cstream = _deflate(_shuffle(gaps, 4) + _shuffle(czz, cwidth), zlib.Z_DEFAULT_STRATEGY)
    return body + _U32.pack(where.size) + cstream


# --- decoding -------------------------------------------------------------------------------


def _fail(message: str) -> GridError:
    return GridError(f"not a valid vantoresk frame: grid lane: {message}")


def plausible(body: bytes, length: int) -> bool:
    """Whether `body` can hold `length` samples at all (checked before anything is sized)."""
    # Each difference takes at least one byte before DEFLATE, which expands at most 1032-fold.
    return len(body) >= HEAD.size and (len(body) - HEAD.size) * 1032 >= length


def _inflate(stream: bytes, need: int, what: str) -> bytes:
    """Exactly `need` bytes from a raw DEFLATE stream that ends where `stream` ends."""
    if len(stream) * 1032 < need:  # DEFLATE expands at most 1032-fold
        raise _fail(f"{what} stream too short for the lane")
    unpacker = zlib.decompressobj(-15)
    try:
        raw = unpacker.decompress(stream, max(need, 1))  # 0 would mean "no limit"
    except zlib.error as exc:
        raise _fail(f"{what}: {exc}") from None
    if len(raw) != need or unpacker.unconsumed_tail or not unpacker.eof or unpacker.unused_data:
        raise _fail(f"{what} stream does not hold what the header says")
    return raw


def _unshuffle(raw: bytes, width: int, count: int) -> np.ndarray:
    planes = np.frombuffer(raw, np.uint8).reshape(width, count)
    return planes.T.copy().view(f"<u{width}").reshape(count)


def grid_values(body: bytes, dtype: np.dtype, length: int) -> np.ndarray:
    """Decode a kind 4 body into `length` native values of `dtype`."""
    dt = np.dtype(dtype).newbyteorder("=")
    if len(body) < HEAD.size:
        raise _fail("truncated header")
    a, b, order, dwidth, cwidth, dlen = HEAD.unpack_from(body, 0)
    if not 1 <= order <= _MAX_ORDER:
        raise _fail(f"unknown difference order {order}")
    if dwidth not in _WIDTHS or (cwidth and cwidth not in _WIDTHS) or body[19] != 0:
        raise _fail(f"bad widths ({dwidth}, {cwidth})")
    if HEAD.size + dlen > len(body) or (cwidth == 0 and HEAD.size + dlen != len(body)):
        raise _fail("stream lengths do not match the body")
    if cwidth > dt.itemsize:
        raise _fail(f"corrections of {cwidth} bytes do not fit {dt.itemsize}-byte values")
    d = _unshuffle(_inflate(body[HEAD.size : HEAD.size + dlen], dwidth * length, "difference"), dwidth, length)
    k = _unzigzag(d, 64)
    for _ in range(order):
        k = np.cumsum(k, dtype=np.int64)  # wraps on forged input, never raises
    uint = _UNSIGNED[dt.itemsize]
    bits = _reconstruct(a, b, k, dt).view(uint)
    if cwidth:
        where, corr = _corrections(body[HEAD.size + dlen :], cwidth, length)
        signed = _unzigzag(corr.astype(uint), 8 * dt.itemsize)
        bits[where] += signed.view(uint)  # modulo 2**(8 * size)
    return bits.view(dt)


def _corrections(rest: bytes, width: int, length: int) -> Tuple[np.ndarray, np.ndarray]:
    """The corrected samples' indices (strictly increasing, in the lane) and their zigzag corrections."""
    if len(rest) < _U32.size:
        raise _fail("truncated correction count")
    (count,) = _U32.unpack_from(rest, 0)
    if not 1 <= count <= length:
        raise _fail(f"{count} corrections in a lane of {length} samples")
    raw = _inflate(rest[_U32.size :], (4 + width) * count, "correction")
    gaps = _unshuffle(raw[: 4 * count], 4, count).astype(np.int64)
    if (gaps[1:] == 0).any():
        raise _fail("correction indices out of order")
    where = np.cumsum(gaps)
    if where[-1] >= length:
        raise _fail("correction index beyond the lane")
    return where, _unshuffle(raw[4 * count :], width, count)
