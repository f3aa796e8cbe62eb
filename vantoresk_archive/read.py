"""Reading records back out of an archive store, in physical units.

    from vantoresk_archive import read_record
    rec = read_record("archive.zarr", "mitdb100", start=10.0, stop=20.0, channels=["MLII"])
    rec.data, rec.rate, rec.channels, rec.units, rec.start_time, rec.annotations
    raw = rec.to_mne()        # mne.io.RawArray in volts with meas_date and annotations
    wrec = rec.to_wfdb()      # wfdb.Record with the source's format, gain and baseline

A record's channels are returned per sampling rate (`rec.signals`); most
records have one rate, and then `data`, `rate`, `channels` and `units` are
that rate's. Missing samples (gaps, invalid samples) are NaN.
"""

from __future__ import annotations

import datetime as dt
import math
import os
from dataclasses import dataclass, field
from typing import Optional, Sequence, Union

import numpy as np

from ._deps import require
from .layout import read_annotations

Time = Union[float, int, dt.datetime, None]


@dataclass
class Signals:
    """The channels of one sampling rate over the window read."""

    rate: Optional[float]
    channels: list
    units: list
    data: np.ndarray  # float64, channels x time, physical units, NaN where missing
    first: int  # index of the first sample in the record at this rate
    stored: list = field(default_factory=list)  # per channel: (stored samples, array attrs, row)
    index: list = field(default_factory=list)  # per channel: its position among the record's channels


@dataclass
class RecordData:
    name: str
    start_time: Optional[dt.datetime]  # of the record (naive, as the source gives it)
    window: tuple  # (start, stop) in seconds from the record's start
    signals: list  # Signals per rate, fastest first
    annotations: dict  # annotator -> Annotations (onset in seconds from the record's start)
    attrs: dict  # the record group's attributes: source facts, header, comments

    def _single(self) -> Signals:
        if len(self.signals) != 1:
            rates = ", ".join(f"{s.rate:g} Hz" for s in self.signals)
            raise ValueError(f"record {self.name!r} has channels at several rates ({rates}): use .signals")
        return self.signals[0]

    @property
    def data(self) -> np.ndarray:
        return self._single().data

    @property
    def rate(self) -> Optional[float]:
        return self._single().rate

    def in_order(self) -> list:
        """(Signals, k) for every channel read, in the record's (or the
        selection's) order rather than by rate."""
        return sorted(((s, k) for s in self.signals for k in range(len(s.channels))),
                      key=lambda sk: sk[0].index[sk[1]] if sk[0].index else 0)

    @property
    def channels(self) -> list:
        return [s.channels[k] for s, k in self.in_order()]

    @property
    def units(self) -> list:
        return [s.units[k] for s, k in self.in_order()]

    def to_mne(self, rate: Optional[float] = None):
        from .interop import to_mne

        return to_mne(self, rate)

    def to_wfdb(self):
        from .interop import to_wfdb

        return to_wfdb(self)


def open_store(store, mode: str = "r"):
    """The root group of an archive store (a path or a zarr store)."""
    zarr = require("zarr", "Reading Zarr stores")
    if isinstance(store, (str, os.PathLike)) and "://" not in str(store) \
            and not os.path.isfile(os.path.join(store, "zarr.json")):
        raise FileNotFoundError(f"{store}: not a Zarr v3 store (no zarr.json)")
    try:
        root = zarr.open_group(store, mode=mode)
    except Exception as exc:
        raise FileNotFoundError(f"{store}: not an archive store ({type(exc).__name__}: {exc})") from None
    return root


def list_records(store) -> dict:
    """The store's record index: {name: {duration, channels, rates, start_time, arrays}}."""
    root = open_store(store)
    index = root.attrs.get("records")
    if not isinstance(index, dict):
        raise ValueError(f"{store}: no record index (not written by this package?)")
    return dict(index)


def record_group(store, name: str):
    root = open_store(store)
    try:
        try:
            group = root[name]
        except KeyError:  # finished after the metadata were last consolidated (a killed run)
            group = require("zarr", "Reading Zarr stores").open_group(store, mode="r", use_consolidated=False)[name]
    except KeyError:
        known = ", ".join(sorted(root.group_keys())) or "none"
        raise KeyError(f"no record {name!r} in {store} (records: {known})") from None
    arrays = group.attrs.get("arrays")
    if not isinstance(arrays, list) or not all(isinstance(a, str) and a in group.array_keys() for a in arrays):
        raise ValueError(f"record {name!r}: its list of arrays does not match what it holds")
    from .limits import array_problem

    for a in arrays:  # nothing below sizes or indexes anything by unchecked metadata
        arr = group[a]
        problem = array_problem(arr, dict(arr.attrs))
        if problem:
            raise ValueError(f"record {name!r}, array {a!r}: damaged metadata: {problem}")
    return group


def read_record(store, name: str, start: Time = None, stop: Time = None,
                channels: Optional[Sequence[Union[str, int]]] = None) -> RecordData:
    """Physical samples of `name` from `start` to `stop` (seconds from the
    record's start, or datetimes when it has a start time), of `channels`
    (names or positions in the record; all by default), with rates, names,
    units, the start time and the annotations of that window."""
    group = record_group(store, name)
    attrs = dict(group.attrs)
    start_time = _parse_time(attrs.get("start_time"))
    t0 = _seconds(start, start_time, 0.0)
    arrays = [group[a] for a in attrs["arrays"]]
    duration = max((a.shape[1] / a.attrs["sampling_rate"] for a in arrays if a.attrs.get("sampling_rate")),
                   default=None)
    t1 = _seconds(stop, start_time, duration if duration is not None else math.inf)
    if t1 < t0:
        raise ValueError(f"stop ({t1} s) comes before start ({t0} s)")
    wanted = _channel_list(attrs, arrays, channels, name)
    by_rate: dict = {}
    for arr, row, cname, pos in wanted:
        by_rate.setdefault(arr.attrs.get("sampling_rate"), []).append((arr, row, cname, pos))
    signals = []
    for rate in sorted(by_rate, key=lambda r: -(r or 0)):
        members = by_rate[rate]
        n = members[0][0].shape[1]
        a, b = (0, n) if rate is None else (_index(t0, rate, n), _index(t1, rate, n))
        data = np.empty((len(members), b - a))
        units, stored = [], []
        # Each array's rows in one read: a chunk holds every channel of its
        # array, so reading rows one by one would decode it once per row.
        blocks: dict = {}
        for arr, row, _, _ in members:
            lo, hi = blocks.get(arr.path, (row, row))
            blocks[arr.path] = (min(lo, row), max(hi, row))
        cache = {}
        for k, (arr, row, cname, _) in enumerate(members):
            if arr.path not in cache:
                lo, hi = blocks[arr.path]
                cache[arr.path] = (lo, arr[lo:hi + 1, a:b], dict(arr.attrs))
            lo, rows, arr_attrs = cache[arr.path]
            raw = rows[row - lo]
            data[k] = physical(raw, arr_attrs, row)
            units.append(str((arr_attrs.get("units") or [""] * arr.shape[0])[row]))
            stored.append((raw, arr_attrs, row))
        signals.append(Signals(rate, [m[2] for m in members], units, data, a, stored, [m[3] for m in members]))
    tables = read_annotations(group)
    for t in tables.values():
        keep = (t.onset >= t0) & (t.onset < t1)
        _filter(t, keep)
    return RecordData(name, start_time, (t0, min(t1, duration) if duration is not None else t1),
                      signals, tables, attrs)


def physical(raw: np.ndarray, attrs: dict, row: Optional[int] = None) -> np.ndarray:
    """Stored samples in physical units, missing ones NaN: the source
    library's own arithmetic where the array keeps the channel's header
    fields (WFDB (d - baseline) / gain, EDF's digital-to-physical line), so
    the values are those wfdb or pyedflib read from the source; else CF
    packing (stored * scale_factor + add_offset). `raw` is one channel (its
    `row` in the array) or the whole array."""
    if raw.dtype.kind == "f":
        return raw.astype(np.float64)
    if raw.ndim == 2:
        out = np.empty(raw.shape)
        for r in range(raw.shape[0]):
            out[r] = physical(raw[r], attrs, r)
        return out
    x = _source_arithmetic(raw, attrs, row)
    if x is None:
        scale = float(attrs.get("scale_factor", 1.0))
        offset = float(attrs.get("add_offset", 0.0))
        x = raw * scale + offset
    fill = attrs.get("_FillValue")
    if fill is not None:
        x[raw == fill] = np.nan
    return x


def _source_arithmetic(raw: np.ndarray, attrs: dict, row: Optional[int]) -> Optional[np.ndarray]:
    facts = attrs.get("source")
    if row is None or not isinstance(facts, list) or not 0 <= row < len(facts) or not isinstance(facts[row], dict):
        return None
    f = facts[row]
    try:
        if "adc_gain" in f and "baseline" in f and float(f["adc_gain"]) > 0:
            return (raw - float(f["baseline"])) / float(f["adc_gain"])
        if all(k in f for k in ("digital_min", "digital_max", "physical_min", "physical_max")):
            dmin, dmax = float(f["digital_min"]), float(f["digital_max"])
            pmin, pmax = float(f["physical_min"]), float(f["physical_max"])
            if dmax != dmin and pmax != pmin:
                bit = (pmax - pmin) / (dmax - dmin)
                return bit * (pmax / bit - dmax + raw)
    except (TypeError, ValueError):
        pass
    return None


def _channel_list(attrs: dict, arrays: list, channels, name: str) -> list:
    """(array, row, channel name, position in the record) in the record's
    channel order, or as `channels` selects them."""
    table = attrs.get("channels")
    by_name = {a.path.rsplit("/", 1)[-1]: a for a in arrays}
    order = []
    if isinstance(table, list) and all(isinstance(c, dict) for c in table):
        for c in table:
            arr = by_name.get(c.get("array"))
            row = c.get("row")
            if arr is None or not isinstance(row, int) or not 0 <= row < arr.shape[0]:
                raise ValueError(f"record {name!r}: its channel table does not match its arrays")
            order.append((arr, row, str(c.get("name")), len(order)))
    else:  # no table: array by array
        for arr in arrays:
            order.extend((arr, r, str(n), len(order) + r) for r, n in enumerate(arr.attrs.get("channel_names", [])))
    if channels is None:
        return order
    out = []
    names = [o[2] for o in order]
    for c in channels:
        if isinstance(c, (int, np.integer)) and not isinstance(c, bool):
            if not 0 <= int(c) < len(order):
                raise IndexError(f"record {name!r} has {len(order)} channels, not channel {c}")
            out.append(order[int(c)])
        elif c in names:
            out.append(order[names.index(c)])
        else:
            raise KeyError(f"record {name!r} has no channel {c!r} (channels: {', '.join(names)})")
    return [(arr, row, cname, i) for i, (arr, row, cname, _) in enumerate(out)]


def _index(t: float, rate: float, n: int) -> int:
    if math.isinf(t):
        return n if t > 0 else 0
    return max(0, min(n, math.ceil(t * rate - 1e-9)))


def _seconds(t: Time, start_time: Optional[dt.datetime], default: float) -> float:
    if t is None:
        return default
    if isinstance(t, dt.datetime):
        if start_time is None:
            raise ValueError("this record has no start time: give start and stop in seconds")
        base = start_time if t.tzinfo is None else start_time.replace(tzinfo=dt.timezone.utc)
        return (t - base).total_seconds()
    t = float(t)
    if math.isnan(t):
        raise ValueError("start and stop must be numbers of seconds or datetimes")
    return t


def _parse_time(text) -> Optional[dt.datetime]:
    if not text:
        return None
    try:
        return dt.datetime.fromisoformat(str(text))
    except ValueError:
        return None


def _filter(t, keep: np.ndarray) -> None:
    for k in ("onset", "duration", "sample", "subtype", "chan"):
        setattr(t, k, getattr(t, k)[keep])
    t.label = [v for v, k in zip(t.label, keep) if k]
    t.aux = [v for v, k in zip(t.aux, keep) if k]
    t.extra = {k: (v[keep] if isinstance(v, np.ndarray) and v.shape == keep.shape else v)
               for k, v in t.extra.items()}
