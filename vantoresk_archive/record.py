"""Converting one record: read it in blocks, write one array per signal
group into a temporary group, check each block against its source, and
move the group into place only when every array is complete.

`convert_record` is the unit of work the serial loop and the Dask workers
both run; it takes and returns plain picklable values.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import Callable, Optional, Union

import numpy as np

from ._deps import require
from .quality import ErrorStats, chunk_sizes, finite_or_none, ratio
from .readers import RecordError, SignalGroup, open_record
from . import store as st


METHODS = ("cdf97", "cdf53", "db4", "sym4")
CUTOFFS = ("low", "medium", "high")
CODERS = ("auto", "arans", "deflate")


@dataclass(frozen=True)
class ConvertOptions:
    """Codec settings and targets for a conversion.

    `max_abs_error` is a number in the data's units or "adc" for each
    channel's own ADC step; `max_prdn` is in percent. Without a target the
    fixed `method`, `scale`, `cutoff` and `coder` apply to every chunk.
    """

    method: str = "cdf97"
    scale: int = 11
    cutoff: str = "low"
    coder: str = "auto"
    max_abs_error: Union[float, str, None] = None
    max_prdn: Optional[float] = None
    chunk_seconds: float = 60.0
    chunk_samples: Optional[int] = None  # overrides chunk_seconds
    sampling_rate: Optional[float] = None  # for .npy sources, which carry none
    overwrite: bool = False
    plots_dir: Optional[str] = None

    def __post_init__(self) -> None:
        for field_name, allowed in (("method", METHODS), ("cutoff", CUTOFFS), ("coder", CODERS)):
            if getattr(self, field_name) not in allowed:
                raise ValueError(f"{field_name} must be one of {', '.join(allowed)}, not {getattr(self, field_name)!r}")
        if not (isinstance(self.scale, int) and 6 <= self.scale <= 12):
            raise ValueError(f"scale must be a whole number from 6 to 12, not {self.scale!r}")
        mae = self.max_abs_error
        if isinstance(mae, str) and mae != "adc":
            raise ValueError(f"max_abs_error must be a number or 'adc', not {mae!r}")
        if mae is not None and not isinstance(mae, str) and not (float(mae) > 0 and math.isfinite(mae)):
            raise ValueError("max_abs_error must be a positive number")
        if self.max_prdn is not None and not (self.max_prdn > 0 and math.isfinite(self.max_prdn)):
            raise ValueError("max_prdn must be a positive number")
        if not (self.chunk_seconds > 0):
            raise ValueError("chunk_seconds must be positive")
        if self.chunk_samples is not None and self.chunk_samples < 1:
            raise ValueError("chunk_samples must be at least 1")


@dataclass
class ChannelReport:
    record: str
    array: str
    channel: str
    rate: Optional[float]
    samples: int
    bytes: int
    ratio_float32: Optional[float]
    ratio_source: Optional[float]
    prdn: Optional[float]
    max_error: Optional[float]
    seconds: float
    settings: str


@dataclass
class RecordResult:
    source: str
    name: str
    status: str  # "converted", "skipped" or "failed"
    reason: str = ""
    samples: int = 0
    seconds: float = 0.0
    channels: list = field(default_factory=list)


DEFAULT_CHUNK_WITHOUT_RATE = 1 << 16


def chunk_length(group: SignalGroup, options: ConvertOptions) -> int:
    if options.chunk_samples is not None:
        n = options.chunk_samples
    elif group.sampling_rate:
        n = max(1, round(options.chunk_seconds * group.sampling_rate))
    else:
        n = DEFAULT_CHUNK_WITHOUT_RATE
    m = group.block_multiple
    return max(m, n // m * m)


def make_codec(group: SignalGroup, options: ConvertOptions, path: str):
    codecs = require("vantoresk_zarr", "Writing Zarr stores")
    mae = options.max_abs_error
    if mae == "adc":
        missing = [c for c, s in zip(group.channels, group.adc_step) if not s]
        if missing:
            raise RecordError(path, f"no ADC step known for channel(s) {', '.join(missing)}: give --max-abs-error a number")
        mae = [float(s) for s in group.adc_step]
    elif mae is not None:
        mae = float(mae)
    return codecs.VantoreskZarrCodec(
        method=options.method, scale=options.scale, cutoff=options.cutoff, coder=options.coder,
        axis=-1, max_abs_error=mae,
        max_prdn=None if options.max_prdn is None else float(options.max_prdn),
    )


def convert_record(
    source: str,
    store: str,
    name: str,
    options: ConvertOptions,
    progress: Optional[Callable[[int], None]] = None,
) -> RecordResult:
    """Convert one record into `store/name`; never raises for a bad record."""
    t0 = time.perf_counter()
    if not options.overwrite and st.is_complete(store, name):
        return RecordResult(source, name, "skipped")
    tmp = None
    reader = None
    try:
        reader = open_record(source, sampling_rate=options.sampling_rate)
        tmp = st.begin_record(store, name)
        reports, samples = _write_record(reader, tmp, name, options, progress)
        if options.plots_dir:
            from .plots import plot_record

            plot_record(reader, tmp, name, reports, options.plots_dir)
        st.commit_record(store, name, tmp)
        tmp = None
    except RecordError as exc:
        return RecordResult(source, name, "failed", exc.reason, seconds=time.perf_counter() - t0)
    except Exception as exc:  # one bad record must not stop the archive
        return RecordResult(source, name, "failed", f"{type(exc).__name__}: {exc}",
                            seconds=time.perf_counter() - t0)
    finally:
        if reader is not None:
            reader.close()
        if tmp is not None:
            st.discard_record(tmp)
    seconds = time.perf_counter() - t0
    for r in reports:
        r.seconds = seconds
    return RecordResult(source, name, "converted", samples=samples, seconds=seconds, channels=reports)


def _write_record(reader, tmp, name: str, options: ConvertOptions, progress) -> tuple:
    zarr = st.zarr_module()
    group = zarr.open_group(str(tmp), mode="w", zarr_format=3)
    group.attrs.update({
        "source": reader.path,
        "format": reader.format,
        "arrays": [g.name for g in reader.groups],
        "settings": _settings_attrs(options),
    })
    reports: list = []
    samples = 0
    for gi, g in enumerate(reader.groups):
        codec = make_codec(g, options, reader.path)
        chunk = chunk_length(g, options)
        arr = group.create_array(
            g.name, shape=(g.n_channels, g.n_samples), chunks=(g.n_channels, chunk),
            dtype="float32", serializer=codec, compressors=None, fill_value=0.0,
            attributes={
                "sampling_rate": g.sampling_rate,
                "channel_names": list(g.channels),
                "units": list(g.units),
                "adc_step": list(g.adc_step),
                "source_bits": list(g.source_bits),
            },
        )
        stats = ErrorStats(g.n_channels)
        for start in range(0, g.n_samples, chunk):
            stop = min(g.n_samples, start + chunk)
            block = reader.read(gi, start, stop)
            arr[:, start:stop] = block.astype(np.float32)
            stats.update(block, arr[:, start:stop], start)
            if progress is not None:
                progress((stop - start) * g.n_channels)
        if stats.nonfinite_mismatch.any():
            raise RecordError(reader.path, "non-finite samples did not survive the round trip")
        prdn = stats.prdn()
        arr.attrs.update({
            "prdn": [finite_or_none(v) for v in prdn],
            "max_abs_error": [float(v) for v in stats.max_error],
            "max_error_at": [int(v) for v in stats.max_at],
        })
        sizes = chunk_sizes(arr)
        for c in range(g.n_channels):
            bits = g.source_bits[c]
            nbytes = int(sizes.nbytes[c])
            reports.append(ChannelReport(
                record=name, array=g.name, channel=g.channels[c], rate=g.sampling_rate, samples=g.n_samples, bytes=nbytes,
                ratio_float32=ratio(4.0 * g.n_samples, nbytes),
                ratio_source=ratio(None if bits is None else bits / 8.0 * g.n_samples, nbytes),
                prdn=finite_or_none(prdn[c]), max_error=float(stats.max_error[c]),
                seconds=0.0, settings=sizes.describe(c),
            ))
        samples += g.n_samples * g.n_channels
    return reports, samples


def _settings_attrs(options: ConvertOptions) -> dict:
    out = {"method": options.method, "cutoff": options.cutoff, "coder": options.coder}
    if options.max_abs_error is None and options.max_prdn is None:
        out["scale"] = options.scale
    if options.max_abs_error is not None:
        out["max_abs_error"] = options.max_abs_error
    if options.max_prdn is not None:
        out["max_prdn"] = options.max_prdn
    return out
