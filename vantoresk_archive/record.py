"""Converting one record: read it in blocks, write one array per signal
group into a temporary group, check each block against its source, and
move the group into place only when every array is complete.

Integer sources keep their own integers (CF `scale_factor`, `add_offset`
and `_FillValue` give the physical values), so targets are met in whole
ADC counts and `lossless` is exact; float sources stay floats. The group
also holds the coordinates, the source's facts and its annotations
(`layout.py`).

`convert_record` does it all and is the unit of work for the serial loop
and for one Dask task per record. Long records on Dask go in three steps
instead: `prepare_record` creates the empty arrays, several
`write_chunks` tasks fill disjoint chunk ranges, and `finish_record`
summarises and moves the record into place. Everything passed between
them is plain and picklable.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import Callable, Optional, Union

import numpy as np
from vantoresk_zarr.vocabulary import CODERS, CUTOFFS, METHODS

from . import layout
from .overview import write_overview
from .quality import ErrorStats, chunk_sizes, finite_or_none, ratio
from .readers import RecordError, SignalGroup, open_record
from . import limits
from . import store as st


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
    lossless: bool = False  # every sample exactly (the targets then have nothing to do)
    shard_chunks: Optional[int] = None  # chunks per shard (one stored object per shard)
    source_roots: tuple = ()  # the converted folders: sources are recorded relative to them

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
        if mae is not None and self.max_prdn is not None:
            raise ValueError("give max_abs_error or max_prdn, not both")
        if not (self.chunk_seconds > 0):
            raise ValueError("chunk_seconds must be positive")
        if self.chunk_samples is not None and self.chunk_samples < 1:
            raise ValueError("chunk_samples must be at least 1")
        if self.shard_chunks is not None and not (isinstance(self.shard_chunks, int) and self.shard_chunks >= 1):
            raise ValueError("shard_chunks must be a whole number of at least 1")
        if self.lossless and (mae is not None or self.max_prdn is not None):
            raise ValueError("lossless storage takes no error target")


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
    warnings: list = field(default_factory=list)  # what was read leniently from the source


DEFAULT_CHUNK_WITHOUT_RATE = 1 << 16
MIN_CHUNK = limits.MIN_CHUNK  # the fewest samples per chunk, unless the record is shorter


def chunk_length(group: SignalGroup, options: ConvertOptions) -> int:
    """Samples per channel of the group's chunks, within the bounds that
    keep forged rates from asking for huge chunks or a file per sample,
    and never longer than the record: a short record (and a short last
    part) is not padded out to a whole chunk."""
    why = limits.group_problem(group.sampling_rate, group.n_channels, group.n_samples)
    if why is not None:
        raise RecordError(group.name, why)
    if options.chunk_samples is not None:
        n = options.chunk_samples
    elif group.sampling_rate:
        n = max(1, min(round(options.chunk_seconds * group.sampling_rate), limits.MAX_CHUNK_ELEMENTS))
    else:
        n = DEFAULT_CHUNK_WITHOUT_RATE
    return limits.bounded_chunk(n, group.n_channels, group.n_samples, group.block_multiple)


def write_length(group: SignalGroup, options: ConvertOptions) -> int:
    """Samples written at once: a chunk, or a whole shard when sharding
    (so no two writers ever share a shard)."""
    chunk = chunk_length(group, options)
    if not options.shard_chunks:
        return chunk
    return chunk * max(1, min(options.shard_chunks, -(-group.n_samples // chunk)))


def counts_target(group: SignalGroup, options: ConvertOptions) -> Optional[float]:
    """The absolute error target of an integer group in counts: whole counts
    (a fraction of a count allows no error in integers), 0 for exact."""
    if options.lossless:
        return 0.0
    mae = options.max_abs_error
    if mae is None:
        return None
    if mae == "adc":
        return 1.0
    return float(math.floor(float(mae) / abs(group.scale_factor) + 1e-9))


def make_codec(group: SignalGroup, options: ConvertOptions, path: str):
    """The serializer of a group's array (the lane codec; no further compressor)."""
    import vantoresk_zarr as codecs

    common = dict(method=options.method, scale=options.scale, cutoff=options.cutoff, coder=options.coder, axis=-1,
                  max_prdn=None if options.max_prdn is None else float(options.max_prdn))
    if group.integer:
        from .counts_codec import VantoreskCountsCodec

        return VantoreskCountsCodec(fill=group.fill_value, max_abs_error=counts_target(group, options), **common)
    mae = options.max_abs_error
    if options.lossless:
        mae = 0.0
    elif mae == "adc":
        missing = [c for c, s in zip(group.channels, group.adc_step) if not s]
        if missing:
            raise RecordError(path, f"no ADC step known for channel(s) {', '.join(missing)}: give --max-abs-error a number")
        mae = [float(s) for s in group.adc_step]
    elif mae is not None:
        mae = float(mae)
    return codecs.VantoreskZarrCodec(max_abs_error=mae, **common)


@dataclass
class RecordPlan:
    """A record whose arrays exist, still empty, in its temporary group."""

    source: str
    name: str
    tmp: str
    arrays: list  # (array name, channels, samples, chunk length) per signal group
    started: float  # wall clock, for the record's time across tasks
    warnings: list = field(default_factory=list)

    def n_chunks(self, group: int) -> int:
        _, _, n, chunk = self.arrays[group]
        return -(-n // chunk)


def convert_record(
    source: str,
    store: str,
    name: str,
    options: ConvertOptions,
    progress: Optional[Callable[[int], None]] = None,
) -> RecordResult:
    """Convert one record into `store/name`; never raises for a bad record."""
    plan = prepare_record(source, store, name, options)
    if isinstance(plan, RecordResult):
        return plan
    try:
        stats = [write_chunks(source, plan.tmp, g, 0, plan.n_chunks(g), options, progress)
                 for g in range(len(plan.arrays))]
        return finish_record(plan, store, stats, options)
    except Exception as exc:  # one bad record must not stop the archive
        return abandon_record(plan, exc)
    except BaseException:  # interrupted: leave nothing half-written behind
        st.discard_record(plan.tmp)
        raise


def prepare_record(source: str, store: str, name: str, options: ConvertOptions) -> Union[RecordPlan, RecordResult]:
    """Read the record's header and create its empty arrays in a temporary
    group; a skipped or failed result instead when there is nothing to do."""
    started = time.time()
    if not options.overwrite and st.is_complete(store, name):
        return RecordResult(source, name, "skipped")
    tmp = None
    try:
        reader = open_record(source, sampling_rate=options.sampling_rate)
        try:
            tmp = st.begin_record(store, name)
            arrays = _create_arrays(reader, tmp, options)
            warnings = list(getattr(reader, "warnings", []))
        finally:
            reader.close()
        return RecordPlan(source, name, str(tmp), arrays, started, warnings)
    except Exception as exc:
        if tmp is not None:
            st.discard_record(tmp)
        return RecordResult(source, name, "failed", _reason(exc), seconds=time.time() - started)
    except BaseException:  # interrupted: leave nothing half-made behind
        if tmp is not None:
            st.discard_record(tmp)
        raise


def write_chunks(source: str, tmp: str, group: int, first: int, stop: int, options: ConvertOptions,
                 progress: Optional[Callable[[int], None]] = None) -> list:
    """Write blocks [first, stop) of one array (chunks, or shards when
    sharding) from the source, each checked by reading it back; their error
    statistics, in order. Tasks given disjoint ranges never write the same
    chunk or shard."""
    reader = open_record(source, sampling_rate=options.sampling_rate)
    try:
        g = reader.groups[group]
        zgroup = st.zarr_module().open_group(tmp, mode="r+")
        arr = zgroup[g.name]
        tdim = layout.time_owner(zgroup, g.name)
        unit = write_length(g, options)
        stats = []
        for k in range(first, stop):
            a, b = k * unit, min(g.n_samples, (k + 1) * unit)
            block = reader.read_stored(group, a, b)
            arr[:, a:b] = block
            stats.append(ErrorStats.of_block(_measured(g, block), _measured(g, arr[:, a:b]), a))
            if tdim is not None:
                zgroup[tdim][a:b] = layout.time_values(g.sampling_rate, a, b)
            if progress is not None:
                progress((b - a) * g.n_channels)
        return stats
    finally:
        reader.close()


def _measured(g: SignalGroup, stored: np.ndarray) -> np.ndarray:
    """Stored samples in physical units for the error figures; the offset is
    left out (it cancels in every figure and would only add rounding)."""
    if not g.integer:
        return stored.astype(np.float64)
    x = stored * g.scale_factor
    if g.fill_value is not None:
        x[stored == g.fill_value] = np.nan
    return x


def finish_record(plan: RecordPlan, store: str, stats: list, options: ConvertOptions) -> RecordResult:
    """Summarise the chunks' statistics (a list per array, in chunk order),
    draw the plots, and move the record into place."""
    group = st.zarr_module().open_group(plan.tmp, mode="r+")
    reports: list = []
    samples = 0
    for gi, (aname, n_ch, n, _) in enumerate(plan.arrays):
        arr = group[aname]
        total = ErrorStats.merged(n_ch, stats[gi])
        if total.nonfinite_mismatch.any():
            raise RecordError(plan.source, "missing or non-finite samples did not survive the round trip")
        prdn = total.prdn()
        if options.lossless and total.max_error.any():
            raise RecordError(plan.source, f"array {aname} is not exact after lossless storage")
        missed = limits.unmet_target(options, arr.attrs["channel_names"], arr.attrs["adc_step"],
                                     total.max_error, prdn)
        if missed is not None:
            raise RecordError(plan.source, missed)
        arr.attrs.update({
            "prdn": [finite_or_none(v) for v in prdn],
            "max_abs_error": [float(v) for v in total.max_error],
            "max_error_at": [int(v) for v in total.max_at],
        })
        write_overview(group, aname)
        attrs = arr.attrs
        sizes = chunk_sizes(arr)
        for c in range(n_ch):
            bits = attrs["source_bits"][c]
            nbytes = int(sizes.nbytes[c])
            reports.append(ChannelReport(
                record=plan.name, array=aname, channel=attrs["channel_names"][c], rate=attrs["sampling_rate"],
                samples=n, bytes=nbytes, ratio_float32=ratio(4.0 * n, nbytes),
                ratio_source=ratio(None if bits is None else bits / 8.0 * n, nbytes),
                prdn=finite_or_none(prdn[c]), max_error=float(total.max_error[c]),
                seconds=0.0, settings=sizes.describe(c),
            ))
        samples += n * n_ch
    if options.plots_dir:
        from .plots import plot_record

        reader = open_record(plan.source, sampling_rate=options.sampling_rate)
        try:
            plot_record(reader, plan.tmp, plan.name, reports, options.plots_dir)
        finally:
            reader.close()
    st.commit_record(store, plan.name, plan.tmp)
    seconds = time.time() - plan.started
    for r in reports:
        r.seconds = seconds
    return RecordResult(plan.source, plan.name, "converted", samples=samples, seconds=seconds, channels=reports,
                        warnings=plan.warnings)


def abandon_record(plan: RecordPlan, exc: BaseException) -> RecordResult:
    st.discard_record(plan.tmp)
    return RecordResult(plan.source, plan.name, "failed", _reason(exc), seconds=time.time() - plan.started)


def _reason(exc: BaseException) -> str:
    return exc.reason if isinstance(exc, RecordError) else f"{type(exc).__name__}: {exc}"


def relative_source(path: str, roots: tuple) -> str:
    """`path` relative to the deepest converted root holding it (its file
    name when none does): a store names no machine's folders."""
    import os

    full = os.path.abspath(path)
    best = None
    for root in roots:
        r = os.path.abspath(root)
        if full == r or full.startswith(r.rstrip(os.sep) + os.sep):
            if best is None or len(r) > len(best):
                best = r
    if best is None:
        return os.path.basename(full)
    rel = os.path.relpath(full, best)
    return os.path.basename(full) if rel == "." else rel.replace(os.sep, "/")


def _create_arrays(reader, tmp, options: ConvertOptions) -> list:
    zarr = st.zarr_module()
    group = zarr.open_group(str(tmp), mode="w", zarr_format=3)
    channels = [None] * sum(g.n_channels for g in reader.groups)
    for g in reader.groups:
        for row, (i, c) in enumerate(zip(g.index or range(g.n_channels), g.channels)):
            if 0 <= i < len(channels):  # by row: two channels may share a name
                channels[i] = {"name": c, "array": g.name, "row": row}
    group.attrs.update({
        "source": relative_source(reader.path, options.source_roots),
        "format": reader.format,
        "start_time": reader.start_time,
        "comments": list(reader.comments),
        "header": reader.header,
        "channels": channels,
        "arrays": [g.name for g in reader.groups],
        "settings": _settings_attrs(options),
    })
    dims = layout.dimension_names(reader.groups)
    chunks = [chunk_length(g, options) for g in reader.groups]
    layout.create_coordinates(group, reader.groups, dims, layout.time_units(reader.start_time), chunks)
    arrays = []
    for g, (cdim, tdim), chunk in zip(reader.groups, dims, chunks):
        serializer = make_codec(g, options, reader.path)
        unit = write_length(g, options)
        attrs = {
            "sampling_rate": g.sampling_rate,
            "channel_names": list(g.channels),
            "units": list(g.units),
            "adc_step": list(g.adc_step),
            "source_bits": list(g.source_bits),
            "source": list(g.facts),
            "coordinates": f"{cdim}_units",
        }
        if g.integer:
            attrs.update({"scale_factor": g.scale_factor, "add_offset": g.add_offset})
            if g.fill_value is not None:
                attrs["_FillValue"] = g.fill_value
            fill = g.fill_value if g.fill_value is not None else 0
        else:
            # NaN fill: the padding of a partial last chunk is then left out of
            # the codec's range and error measures (zero padding would widen
            # the range and let a PRDN target pass on padding instead of
            # samples), and a lost chunk reads as missing data, not as zeros.
            fill = float("nan")
        group.create_array(
            g.name, shape=(g.n_channels, g.n_samples), chunks=(g.n_channels, chunk),
            shards=(g.n_channels, unit) if unit != chunk else None,
            # Every chunk is written, so a missing chunk file means a loss.
            dtype=g.dtype, serializer=serializer, compressors=None, fill_value=fill,
            config={"write_empty_chunks": True}, dimension_names=(cdim, tdim), attributes=attrs,
        )
        arrays.append((g.name, g.n_channels, g.n_samples, unit))
    layout.write_annotations(group, reader.annotations())
    return arrays


def _settings_attrs(options: ConvertOptions) -> dict:
    if options.lossless:
        out = {"lossless": True}
    else:
        out = {"method": options.method, "cutoff": options.cutoff, "coder": options.coder}
    if options.max_abs_error is None and options.max_prdn is None and not options.lossless:
        out["scale"] = options.scale
    if options.max_abs_error is not None:
        out["max_abs_error"] = options.max_abs_error
    if options.max_prdn is not None:
        out["max_prdn"] = options.max_prdn
    if options.chunk_samples is not None:
        out["chunk_samples"] = options.chunk_samples
    else:
        out["chunk_seconds"] = options.chunk_seconds
    return out


settings_attrs = _settings_attrs
