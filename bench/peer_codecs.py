"""The compressors compared by bench/peers.py, each as a family of settings.

A family is one compressor with one fixed configuration apart from its
error knob: vantoresk with one wavelet and one coder over scales 6-12, zfp
over a range of accuracy tolerances, SZ3 over absolute error bounds, a plain
PyWavelets + int16 + zlib pipeline over quantiser steps. Lossless families
have a single setting. Every setting takes the float32 signal and gives back
float32 samples of the same length, so all are measured on the same terms.

Peers are optional (`pip install vantoresk[bench]`): a builder whose package
is missing raises MissingPeer naming it, and the caller skips that family.
"""

from __future__ import annotations

import importlib
import io
import struct
import zlib
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Callable, Optional

import numpy as np
from vantoresk_zarr import vocabulary

METHODS = tuple(sorted(vocabulary.METHODS))  # table rows in alphabetical order
CODERS = tuple(c for c in vocabulary.CODERS if c != "auto")
SCALES = vocabulary.SCALES
QUICK_SCALES = (6, 8, 10, 12)


class MissingPeer(Exception):
    """A peer's Python package is not installed."""

    def __init__(self, peer: str, package: str) -> None:
        super().__init__(f"{peer} skipped: package '{package}' is not installed "
                         f"(pip install {package}, or pip install vantoresk[bench])")


class NotApplicable(Exception):
    """A peer cannot run on this record (for example: no known ADC grid)."""


@dataclass(frozen=True)
class Setting:
    label: str
    compress: Callable[[np.ndarray], Any]
    decompress: Callable[[Any], np.ndarray]


@dataclass(frozen=True)
class Family:
    name: str
    lossless: bool
    settings: tuple[Setting, ...]


@dataclass(frozen=True)
class Record:
    name: str
    signal: np.ndarray  # float32, 1-D, contiguous
    fs_hz: Optional[float] = None
    # Physical value = (digital - adc_baseline) / adc_gain; None when unknown.
    adc_gain: Optional[float] = None
    adc_baseline: float = 0.0
    units: str = ""


def _need(module: str, peer: str, package: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise MissingPeer(peer, package) from exc


def blob_size(blob: Any) -> int:
    """Bytes in a compressed result: bytes, bytearray or a NumPy byte array."""
    return blob.nbytes if isinstance(blob, np.ndarray) else len(blob)


def _error_sweep(x: np.ndarray, lo: float, hi: float, count: int) -> np.ndarray:
    """Error bounds from lo to hi times the signal's standard deviation,
    evenly spaced in log: PRDN scales with the bound over the deviation."""
    sigma = float(np.std(x.astype(np.float64))) or 1.0
    return sigma * np.geomspace(lo, hi, count)


def vantoresk_families(quick: bool) -> list[Family]:
    import vantoresk
    from vantoresk import VantrCompressionOptions

    families = []
    for method in METHODS:
        for coder in CODERS:
            settings = []
            for scale in QUICK_SCALES if quick else SCALES:
                options = VantrCompressionOptions(method, scale, "low", coder)
                settings.append(Setting(
                    f"scale {scale}",
                    lambda x, o=options: vantoresk.compress_signal(x, o),
                    vantoresk.decompress_signal,
                ))
            families.append(Family(f"vantoresk {method} {coder}", False, tuple(settings)))
    return families


def zfp_family(rec: Record, count: int) -> Family:
    zfpy = _need("zfpy", "zfp", "zfpy")
    # zfp's tolerance bounds the error loosely: typical errors are far below
    # it, so the sweep reaches higher than the absolute bounds below.
    return Family("zfp (fixed accuracy)", False, tuple(
        Setting(f"tolerance {tol:.3g}",
                lambda x, t=float(tol): zfpy.compress_numpy(x, tolerance=t),
                zfpy.decompress_numpy)
        for tol in _error_sweep(rec.signal, 0.005, 4.0, count)))


def sz3_family(rec: Record, count: int) -> Family:
    pysz = _need("pysz", "SZ3", "pysz")
    sz, config_type, mode = pysz.sz, pysz.szConfig, pysz.szErrorBoundMode
    shape = rec.signal.shape

    def compressor(bound: float) -> Callable[[np.ndarray], Any]:
        def compress(x: np.ndarray) -> Any:
            config = config_type()
            config.errorBoundMode = mode.ABS
            config.absErrorBound = bound
            return sz.compress(x, config)[0]
        return compress

    # The decoder is told dtype and shape out of band (a few bytes, not counted).
    return Family("SZ3 (absolute bound)", False, tuple(
        Setting(f"bound {eb:.3g}", compressor(float(eb)),
                lambda blob: sz.decompress(blob, np.float32, shape)[0])
        for eb in _error_sweep(rec.signal, 0.002, 0.5, count)))


def pcodec_family(rec: Record) -> Family:
    pcodec = _need("pcodec", "pcodec", "pcodec")
    standalone = pcodec.standalone
    config = pcodec.ChunkConfig()
    return Family("pcodec (lossless)", True, (Setting(
        f"level {config.compression_level}",
        lambda x: standalone.simple_compress(x, config),
        standalone.simple_decompress),))


def blosc2_family(rec: Record) -> Family:
    blosc2 = _need("blosc2", "blosc2", "blosc2")
    blosc2.set_nthreads(1)  # one thread, like every other entry here

    def compress(x: np.ndarray) -> bytes:
        return blosc2.compress2(x, codec=blosc2.Codec.ZSTD, clevel=5,
                                filters=[blosc2.Filter.SHUFFLE], typesize=4)

    return Family("blosc2 zstd (lossless)", True, (Setting(
        "zstd 5 shuffle", compress,
        lambda blob: np.frombuffer(blosc2.decompress2(blob), dtype=np.float32)),))


def adc_codes(rec: Record) -> np.ndarray:
    """The recording's integer ADC samples, round(x * gain + baseline).
    Raises NotApplicable when the record has no known grid or is off it."""
    if rec.adc_gain is None:
        raise NotApplicable(f"integer peers skipped on {rec.name}: no ADC gain known for this record")
    scaled = rec.signal.astype(np.float64) * rec.adc_gain + rec.adc_baseline
    codes = np.rint(scaled)
    # float32 storage moves samples a few thousandths of a step off the grid.
    if codes.size and float(np.max(np.abs(scaled - codes))) > 0.05:
        raise NotApplicable(f"integer peers skipped on {rec.name}: the samples are not on the stated ADC grid")
    return codes


def _adc_converters(rec: Record, dtype: type) -> tuple[Callable[[np.ndarray], np.ndarray],
                                                      Callable[[np.ndarray], np.ndarray]]:
    """float32 samples to ADC integers of `dtype` and back, exactly. The
    lossless peers on integers run them inside both timed directions, since
    every other entry takes and returns float32 samples. Gain and baseline
    travel out of band (a few bytes, not counted)."""
    adc_codes(rec)  # refuse records without a grid
    gain, baseline = float(rec.adc_gain or 1.0), rec.adc_baseline

    def to_ints(x: np.ndarray) -> np.ndarray:
        return np.rint(x.astype(np.float64) * gain + baseline).astype(dtype)

    def to_floats(ints: np.ndarray) -> np.ndarray:
        return ((ints.astype(np.float64) - baseline) / gain).astype(np.float32)

    return to_ints, to_floats


def flac_family(rec: Record) -> Family:
    soundfile = _need("soundfile", "FLAC", "soundfile")
    codes = adc_codes(rec)
    wide = codes.size and (codes.min() < -32768 or codes.max() > 32767)
    subtype, dtype = ("PCM_24", np.int32) if wide else ("PCM_16", np.int16)
    to_ints, to_floats = _adc_converters(rec, dtype)
    rate = int(round(rec.fs_hz)) if rec.fs_hz else 1000

    def compress(x: np.ndarray) -> bytes:
        buf = io.BytesIO()
        soundfile.write(buf, to_ints(x), rate, subtype=subtype, format="FLAC")
        return buf.getvalue()

    def decompress(blob: bytes) -> np.ndarray:
        return to_floats(soundfile.read(io.BytesIO(blob), dtype=np.dtype(dtype).name)[0])

    return Family("FLAC on ADC integers (lossless)", True, (Setting(subtype, compress, decompress),))


def pcodec_adc_family(rec: Record) -> Family:
    """pcodec given the same ADC integers as FLAC: float32 samples off a
    grid through zero (EDF's offset ranges) hide the grid from pcodec."""
    pcodec = _need("pcodec", "pcodec", "pcodec")
    standalone = pcodec.standalone
    config = pcodec.ChunkConfig()
    to_ints, to_floats = _adc_converters(rec, np.int32)
    return Family("pcodec on ADC integers (lossless)", True, (Setting(
        f"level {config.compression_level}",
        lambda x: standalone.simple_compress(to_ints(x), config),
        lambda blob: to_floats(standalone.simple_decompress(blob))),))


_PYWT_HEADER = struct.Struct("<IdBB")  # samples, quantiser step, levels, wavelet id
_PYWT_WAVELET = "bior4.4"  # the CDF 9/7 pair
_PYWT_MODE = "periodization"


def _pywt_band_lengths(pywt: ModuleType, n: int, levels: int) -> list[int]:
    lengths = []
    size = n
    for _ in range(levels):
        size = pywt.dwt_coeff_len(size, pywt.Wavelet(_PYWT_WAVELET).dec_len, _PYWT_MODE)
        lengths.append(size)
    # wavedec order: deepest approximation, then details deepest to finest
    return [lengths[-1]] + lengths[::-1]


def pywt_family(rec: Record, count: int) -> Family:
    """A plain wavelet baseline: CDF 9/7 (PyWavelets), one uniform quantiser
    step for every band, int16 codes, zlib level 6. No dead zone, no model."""
    pywt = _need("pywt", "PyWavelets", "PyWavelets")
    n = rec.signal.size
    levels = min(pywt.dwt_max_level(n, _PYWT_WAVELET), 8)
    coeffs = np.concatenate(pywt.wavedec(rec.signal, _PYWT_WAVELET, mode=_PYWT_MODE, level=levels))
    # Steps small enough to overflow int16 would only measure clipping.
    smallest = float(np.max(np.abs(coeffs))) / 32000.0 if coeffs.size else 0.0

    def compressor(step: float) -> Callable[[np.ndarray], bytes]:
        def compress(x: np.ndarray) -> bytes:
            bands = pywt.wavedec(x, _PYWT_WAVELET, mode=_PYWT_MODE, level=levels)
            codes = np.rint(np.concatenate(bands) / step).astype("<i2")
            return _PYWT_HEADER.pack(x.size, step, levels, 0) + zlib.compress(codes.tobytes(), 6)
        return compress

    def decompress(blob: bytes) -> np.ndarray:
        size, step, depth, _ = _PYWT_HEADER.unpack_from(blob)
        codes = np.frombuffer(zlib.decompress(blob[_PYWT_HEADER.size:]), dtype="<i2")
        values = codes.astype(np.float32) * np.float32(step)
        bounds = np.cumsum(_pywt_band_lengths(pywt, size, depth))[:-1]
        out = pywt.waverec(np.split(values, bounds), _PYWT_WAVELET, mode=_PYWT_MODE)
        return np.ascontiguousarray(out[:size], dtype=np.float32)

    steps = [s for s in _error_sweep(rec.signal, 0.005, 1.0, count) if s >= smallest]
    return Family("PyWavelets + int16 + zlib", False, tuple(
        Setting(f"step {s:.3g}", compressor(float(s)), decompress) for s in steps))


PEERS: dict[str, Callable[[Record, int], Family]] = {
    "zfp": zfp_family,
    "sz3": sz3_family,
    "pcodec": lambda rec, count: pcodec_family(rec),
    "pcodec-adc": lambda rec, count: pcodec_adc_family(rec),
    "flac": lambda rec, count: flac_family(rec),
    "blosc2": lambda rec, count: blosc2_family(rec),
    "pywt": pywt_family,
}
