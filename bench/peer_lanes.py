"""The lane codec's peers at a guaranteed error, each at its strongest setting.

A bound is k ADC steps from the float32 source: strictly, or with the
allowance of k + 0.005 steps that the recordings need (their float32 values
sit up to 0.002 steps off the ADC grid, so integers rebuilt from the grid land
that far from the source). For every lane each peer tries the settings
below, keeps those whose decode meets the bound, and uses the smallest. Every
setting is recorded in the peer's own stream (or is fixed per peer), so a
reader needs nothing else:

  SZ3          pysz with an absolute bound and each of its predictors
               (interpolation + Lorenzo, its default; cubic or linear
               interpolation; Lorenzo + regression, first- or second-order
               Lorenzo, both orders, both with regression), on the float32
               values and the same values in float64 (bound in value), and on
               the ADC integers as int32 (bound k counts)
  bins+FLAC    integers (below) coded by FLAC through soundfile at its default
               level and at level 8, without the comment block libsndfile adds
  bins+pcodec  the same integers (int32 when they fit) coded by pcodec: its
               automatic delta at levels 8 and 12, and convolution (linear
               prediction) deltas of order 4, 8, 16 and 32 at level 12

The integers are the ADC integers in bins of 2k + 1, y = floor((v + k) /
(2k + 1)), decoded as y (2k + 1). Under the strict bound those miss by the
float32 rounding wherever a value sits on a bin's edge, so the integer peers
also try bins of value just under 2k steps wide (their width, 8 bytes, is
counted) and ADC bins of 2k - 1; at k = 0 strictly, pcodec also codes the
float32 values themselves.

The search is not timed: a peer's speed is that of the setting it chose.
"""

from __future__ import annotations

import io
import os
import tempfile
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

from lanes_ours import Codec

STEP_SLACK = 0.005
INT16 = (-(1 << 15), (1 << 15) - 1)
INT24 = (-(1 << 23), (1 << 23) - 1)
INT32 = (-(1 << 31), (1 << 31) - 1)


@dataclass(frozen=True)
class Bound:
    """k ADC steps, held exactly (strict) or with the float32 allowance."""
    k: int
    strict: bool

    @property
    def steps(self) -> float:
        return float(self.k) if self.strict else self.k + STEP_SLACK

    @property
    def label(self) -> str:
        return "strict" if self.strict else f"allowance {STEP_SLACK}"


def bins(codes: np.ndarray, k: int) -> np.ndarray:
    return np.floor_divide(codes + k, 2 * k + 1)


def max_error(x: np.ndarray, out: np.ndarray) -> float:
    """Largest |out - x| in float64, as the lane codec measures its own."""
    d = np.abs(np.asarray(out, dtype=np.float32).astype(np.float64).reshape(x.shape) - x.astype(np.float64))
    return float(d.max()) if d.size else 0.0


@dataclass
class Quantiser:
    """Float32 lane to integers and back."""
    label: str
    ints: Callable[[np.ndarray], np.ndarray]
    values: Callable[[np.ndarray], np.ndarray]
    side_bytes: int = 0  # what a reader needs besides the recording's gain and the bound


def adc_bins(rec, k: int) -> Quantiser:
    return Quantiser("ADC bins" if k else "ADC integers", lambda x: bins(rec.codes(x), k),
                     lambda y: rec.values(np.asarray(y, dtype=np.int64) * (2 * k + 1)))


def value_bins(lane: np.ndarray, k: int, step: float) -> Optional[Quantiser]:
    """Bins of value just under 2k steps: the decoded value, rounded to
    float32, stays strictly within k steps."""
    top = float(np.max(np.abs(lane))) if lane.size else 0.0
    ulp = float(np.spacing(np.float32(top)))
    width = 2.0 * (k * step - 2.0 * ulp)
    if k == 0 or not width > 0:
        return None
    return Quantiser("value bins", lambda x: np.rint(x.astype(np.float64) / width).astype(np.int64),
                     lambda y: (np.asarray(y, dtype=np.float64) * width).astype(np.float32), 8)  # width, float64


def quantisers(rec, lane: np.ndarray, bound: Bound) -> list[Quantiser]:
    out = [adc_bins(rec, bound.k)]
    if bound.strict and bound.k > 0:
        vb = value_bins(lane, bound.k, rec.step)
        out += ([vb] if vb else []) + [adc_bins(rec, bound.k - 1)]
    return out


def smallest_within(name: str, lane: np.ndarray, limit: float, candidates: list[Codec]) -> Optional[Codec]:
    """The candidate with the smallest output whose decode is within limit
    (value units) of the lane; None when none is (or none applies)."""
    best, best_size = None, None
    for c in candidates:
        try:
            blob = c.encode(lane)
            out = c.decode(blob)
        except Exception:  # a setting the peer refuses for this input (range, dtype)
            continue
        if max_error(lane, out) > limit:
            continue
        size = c.size(blob)
        if best_size is None or size < best_size:
            best, best_size = c, size
    return None if best is None else Codec(name, best.encode, best.decode, best.size, best.setting)


# --- SZ3 -----------------------------------------------------------------------

def sz3_available() -> bool:
    try:
        import pysz  # noqa: F401
    except ImportError:
        return False
    return True


# SZ3's predictors, as its configuration file names them (pysz sets only the
# algorithm directly; the rest goes through a file, which SZ3 stores in its
# stream). Lorenzo + regression is SZ3's own mix for that algorithm; the
# single predictors often code a one-minute lane smaller.
_INTERP, _LR = "[GlobalSettings]\nCmprAlgo = ALGO_INTERP", "[GlobalSettings]\nCmprAlgo = ALGO_LORENZO_REG"
SZ3_SETTINGS = {
    "interpolation + Lorenzo": "[GlobalSettings]\nCmprAlgo = ALGO_INTERP_LORENZO\n",
    "cubic interpolation": _INTERP + "\n[AlgoSettings]\nInterpolationAlgo = INTERP_ALGO_CUBIC\n",
    "linear interpolation": _INTERP + "\n[AlgoSettings]\nInterpolationAlgo = INTERP_ALGO_LINEAR\n",
    "Lorenzo + regression": _LR + "\n",
    "Lorenzo": _LR + "\n[AlgoSettings]\nLorenzo = true\nLorenzo2ndOrder = false\nRegression = false\n",
    "2nd-order Lorenzo": _LR + "\n[AlgoSettings]\nLorenzo = false\nLorenzo2ndOrder = true\nRegression = false\n",
    "both Lorenzo orders": _LR + "\n[AlgoSettings]\nLorenzo = true\nLorenzo2ndOrder = true\nRegression = false\n",
    "both orders + regression": _LR + "\n[AlgoSettings]\nLorenzo = true\nLorenzo2ndOrder = true\nRegression = true\n",
}
_sz3_files: dict[str, str] = {}
_sz3_dir: Optional[tempfile.TemporaryDirectory] = None


def _sz3_file(setting: str) -> str:
    """The configuration file of a setting, written once per process into a
    folder of our own (SZ3 ends the process on a file it cannot parse, so
    only these fixed texts are ever given to it)."""
    global _sz3_dir
    if setting not in _sz3_files:
        if _sz3_dir is None:
            _sz3_dir = tempfile.TemporaryDirectory(prefix="lanes-sz3-")
        path = os.path.join(_sz3_dir.name, f"{len(_sz3_files)}.ini")
        with open(path, "x") as f:
            f.write(SZ3_SETTINGS[setting])
        _sz3_files[setting] = path
    return _sz3_files[setting]


def sz3_setting(bound: float, dtype, n: int, setting: str = "interpolation + Lorenzo",
                after: Callable[[np.ndarray], np.ndarray] = lambda d: d,
                before: Callable[[np.ndarray], np.ndarray] = lambda x: x, label: str = "") -> Codec:
    """pysz with the absolute bound on before(lane) as dtype; decoded through after()."""
    import pysz
    path = _sz3_file(setting)

    def encode(x: np.ndarray):
        cfg = pysz.szConfig()
        cfg.loadcfg(path)
        cfg.errorBoundMode = pysz.szErrorBoundMode.ABS
        cfg.absErrorBound = float(bound)
        return pysz.sz.compress(np.ascontiguousarray(before(x), dtype=dtype), cfg)[0]

    def decode(blob):
        return after(pysz.sz.decompress(blob, dtype, (n,))[0])

    return Codec("SZ3", encode, decode, lambda b: b.nbytes, label or f"{np.dtype(dtype).name}, {setting}")


def sz3_peer(rec, lane: np.ndarray, bound: Bound) -> Optional[Codec]:
    if bound.k == 0 or not sz3_available():
        return None
    n, limit = lane.size, bound.steps * rec.step
    codes = rec.codes(lane)
    on_int32 = bool(codes.size and INT32[0] <= codes.min() and codes.max() <= INT32[1])
    cands = []
    for setting in SZ3_SETTINGS:
        cands.append(sz3_setting(limit, np.float32, n, setting))
        cands.append(sz3_setting(limit, np.float64, n, setting, after=lambda d: d.astype(np.float32)))
        if on_int32:
            cands.append(sz3_setting(bound.k, np.int32, n, setting, before=rec.codes,
                                     after=lambda d: rec.values(d.astype(np.int64)),
                                     label=f"ADC int32, {setting}"))
    return smallest_within("SZ3", lane, limit, cands)


# --- FLAC ----------------------------------------------------------------------

def _flac_bare(data: bytes) -> bytes:
    """The stream with STREAMINFO as its only metadata block (libsndfile
    adds a comment block a FLAC reader does not need)."""
    if data[:4] != b"fLaC" or data[4] & 0x7F != 0:
        return data
    pos = 4
    while pos + 4 <= len(data):
        last = data[pos] & 0x80
        pos += 4 + int.from_bytes(data[pos + 1:pos + 4], "big")
        if last:
            break
    streaminfo = bytes([data[4] | 0x80]) + data[5:8 + 34]
    return b"fLaC" + streaminfo + data[pos:]


def flac_ints(y: np.ndarray, fs: float, level: Optional[float], bare: bool = True) -> tuple[bytes, bool]:
    """y as 16-bit FLAC, or 24-bit when wider (libsndfile takes int32 data as
    the top 24 of 32 bits, so it is shifted there and back); bare: without
    the comment block."""
    import soundfile
    if y.size == 0 or y.min() < INT24[0] or y.max() > INT24[1]:
        raise ValueError("beyond 24 bits")
    wide = bool(y.min() < INT16[0] or y.max() > INT16[1])
    data = (y.astype(np.int32) << 8) if wide else y.astype(np.int16)
    buf = io.BytesIO()
    kw = {} if level is None else {"compression_level": level}
    soundfile.write(buf, data, int(round(fs)), subtype="PCM_24" if wide else "PCM_16", format="FLAC", **kw)
    return (_flac_bare(buf.getvalue()) if bare else buf.getvalue()), wide


def flac_read(blob: tuple[bytes, bool]) -> np.ndarray:
    import soundfile
    data, wide = blob
    if wide:
        return soundfile.read(io.BytesIO(data), dtype="int32")[0].astype(np.int64) >> 8
    return soundfile.read(io.BytesIO(data), dtype="int16")[0].astype(np.int64)


def flac_setting(q: Quantiser, fs: float, level: Optional[float], bare: bool = True) -> Codec:
    return Codec("bins+FLAC", lambda x: flac_ints(q.ints(x), fs, level, bare), lambda b: q.values(flac_read(b)),
                 lambda b: len(b[0]) + q.side_bytes, f"{q.label}, level {'default' if level is None else 8}")


def flac_peer(rec, lane: np.ndarray, bound: Bound) -> Optional[Codec]:
    try:
        import soundfile  # noqa: F401
    except ImportError:
        return None
    cands = [flac_setting(q, rec.fs, level) for q in quantisers(rec, lane, bound) for level in (None, 1.0)]
    return smallest_within("bins+FLAC", lane, bound.steps * rec.step, cands)


# --- pcodec --------------------------------------------------------------------

def pcodec_configs() -> list[tuple[str, object]]:
    import pcodec
    auto = [(f"auto delta, level {lv}", pcodec.ChunkConfig(compression_level=lv)) for lv in (8, 12)]
    conv = [(f"conv1 order {o}, level 12",
             pcodec.ChunkConfig(compression_level=12, delta_spec=pcodec.DeltaSpec.try_conv1(o))) for o in (4, 8, 16, 32)]
    return auto + conv


def pcodec_setting(q: Quantiser, label: str, config) -> Codec:
    from pcodec import standalone

    def encode(x: np.ndarray):
        y = q.ints(x)
        if y.size and INT32[0] <= y.min() and y.max() <= INT32[1]:
            y = y.astype(np.int32)
        return standalone.simple_compress(y, config)

    return Codec("bins+pcodec", encode, lambda b: q.values(standalone.simple_decompress(b)),
                 lambda b: len(b) + q.side_bytes, f"{q.label}, {label}")


def pcodec_peer(rec, lane: np.ndarray, bound: Bound) -> Optional[Codec]:
    try:
        import pcodec  # noqa: F401
        from pcodec import standalone
    except ImportError:
        return None
    configs = pcodec_configs()
    cands = [pcodec_setting(q, label, cfg) for q in quantisers(rec, lane, bound) for label, cfg in configs]
    if bound.k == 0 and bound.strict:
        same = Quantiser("float32 values", lambda x: x, lambda y: np.asarray(y, dtype=np.float32))
        cands += [Codec("bins+pcodec", lambda x, c=cfg: standalone.simple_compress(np.ascontiguousarray(x), c),
                        lambda b: same.values(standalone.simple_decompress(b)), len, f"float32 values, {label}")
                  for label, cfg in configs[:2]]
    return smallest_within("bins+pcodec", lane, bound.steps * rec.step, cands)
