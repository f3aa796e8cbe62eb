"""What the viewer asks of a store: the records and their arrays, and for a
time range of one array at most `points` columns per channel, either the
decoded samples (short ranges) or their min/max envelope (from the overview
pyramid, or from decoded samples while that is cheap). Every request is
checked and bounded here: a bad one raises `RequestError` with an HTTP
status and a message, and nothing decodes more than `RAW_HARD_LIMIT`
values at once.
"""

from __future__ import annotations

import json
import math
import threading
from collections import OrderedDict
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

import numpy as np

from .. import overview as ov

MAX_POINTS = 8192
DEFAULT_POINTS = 1000
RAW_BUDGET = 600_000  # values decoded for an envelope before the pyramid takes over
RAW_HARD_LIMIT = 4_000_000  # values decoded for any one request, pyramid or not
MAX_OVERVIEW_BLOCKS = 65536
MAX_EVENTS = 5000
CACHE_VALUES = 32_000_000  # decoded values kept for the next page or zoom step


class RequestError(ValueError):
    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status
        self.message = message


@dataclass
class ArrayInfo:
    name: str
    rate: float  # samples per second (1 when the store gives none)
    samples: int
    channels: list
    units: list
    chunk: int
    scale: float
    offset: float
    fill: Optional[float]
    overview: Optional[ov.Overview]
    node: object = field(repr=False)

    def as_json(self) -> dict:
        levels = [] if self.overview is None else [{"block": lv.block, "blocks": lv.blocks}
                                                   for lv in self.overview.levels]
        return {"name": self.name, "rate": self.rate, "samples": self.samples,
                "duration": self.samples / self.rate, "channels": self.channels, "units": self.units,
                "chunk": self.chunk, "levels": levels}


@dataclass
class RecordInfo:
    name: str
    start_time: Optional[str]
    arrays: dict  # name -> ArrayInfo, in the record's order
    group: object = field(repr=False)
    annotations: Optional[dict] = None  # annotator -> arrays, read on first use

    @property
    def duration(self) -> float:
        return max((a.samples / a.rate for a in self.arrays.values()), default=0.0)


def _number(params: dict, key: str, default=None) -> float:
    text = params.get(key)
    if text is None:
        if default is None:
            raise RequestError(400, f"missing parameter '{key}'")
        return default
    try:
        v = float(text)
    except ValueError:
        raise RequestError(400, f"'{key}' must be a number, not {text!r}") from None
    if not math.isfinite(v):
        raise RequestError(400, f"'{key}' must be a finite number")
    return v


def _whole(params: dict, key: str, default: int, lo: int, hi: int) -> int:
    text = params.get(key)
    if text is None:
        return default
    try:
        v = int(text)
    except ValueError:
        raise RequestError(400, f"'{key}' must be a whole number, not {text!r}") from None
    if not lo <= v <= hi:
        raise RequestError(400, f"'{key}' must be from {lo} to {hi}, not {v}")
    return v


class StoreView:
    """A store opened read-only for the viewer; record facts are cached."""

    def __init__(self, store: str):
        from .. import store as st

        self.store = str(store)
        self._zarr = st.zarr_module()
        self._local = st.url_scheme(self.store) is None
        st.open_root(self.store, create=False)
        self.names = st.record_names(self.store)
        self._records: dict = {}
        self._summaries: Optional[list] = None
        self._cache: OrderedDict = OrderedDict()
        self._cached = 0
        self._lock = threading.Lock()

    # Records

    def record(self, name: str) -> RecordInfo:
        # Only names listed from the store are opened: a request never
        # names a path of its own.
        if name not in self.names:
            raise RequestError(404, f"no record {name!r} in this store")
        with self._lock:
            if name not in self._records:
                self._records[name] = self._open_record(name)
            return self._records[name]

    def _open_record(self, name: str) -> RecordInfo:
        # Local folders are read as they are, not through a consolidated copy
        # of their metadata that a later write may have left behind.
        group = self._zarr.open_group(self.store, path=name, mode="r",
                                      use_consolidated=False if self._local else None)
        attrs = dict(group.attrs)
        arrays = {}
        for aname in attrs.get("arrays", []):
            node = group[aname]
            a = dict(node.attrs)
            c, n = node.shape
            floating = np.issubdtype(node.dtype, np.floating)
            arrays[aname] = ArrayInfo(
                name=aname, rate=float(a.get("sampling_rate") or 1.0), samples=int(n),
                channels=list(a.get("channel_names") or [str(i) for i in range(c)]),
                units=list(a.get("units") or [""] * c), chunk=int(node.chunks[1]),
                scale=float(a.get("scale_factor", 1.0)), offset=float(a.get("add_offset", 0.0)),
                fill=None if floating else a.get("_FillValue"), overview=ov.open_overview(group, aname),
                node=node,
            )
        start = attrs.get("start_time")
        return RecordInfo(name, start if isinstance(start, str) else None, arrays, group)

    def summaries(self) -> list:
        """One line per record: duration, channels, rates, size and ratio.
        From the root's record index and the arrays' metadata files where
        the store has them, so a store of thousands of records lists fast."""
        if self._summaries is None:
            index = self._root_index()
            out = []
            for name in self.names:
                entry = index.get(name)
                if isinstance(entry, dict) and isinstance(entry.get("arrays"), list) and self._local:
                    size, raw = self._file_sizes(name, entry["arrays"])
                    line = {"duration": float(entry.get("duration") or 0.0), "start_time": entry.get("start_time"),
                            "channels": int(entry.get("channels") or 0),
                            "rates": [float(r) for r in entry.get("rates") or []]}
                else:
                    rec = self.record(name)
                    size, raw = self._file_sizes(name, list(rec.arrays)) if self._local else (None, None)
                    line = {"duration": rec.duration, "start_time": rec.start_time,
                            "channels": sum(len(a.channels) for a in rec.arrays.values()),
                            "rates": [a.rate for a in rec.arrays.values()]}
                out.append({"name": name, **line, "size": size,
                            "ratio": (raw / size) if size and raw else None})
            self._summaries = out
        return self._summaries

    def _root_index(self) -> dict:
        if not self._local:
            return {}
        try:
            doc = json.loads((Path(self.store) / "zarr.json").read_text())
            index = doc.get("attributes", {}).get("records")
        except (OSError, ValueError, AttributeError):
            return {}
        return index if isinstance(index, dict) else {}

    def _file_sizes(self, name: str, arrays: list) -> tuple:
        """(bytes of a local record's signal arrays on disk, bytes of their
        samples at the source's own bit depths); None for what is unknown."""
        size = raw = 0
        for aname in arrays:
            folder = Path(self.store) / name / str(aname)
            try:
                meta = json.loads((folder / "zarr.json").read_text())
                c, n = (int(v) for v in meta["shape"])
                item = np.dtype(meta["data_type"]).itemsize
            except (OSError, ValueError, KeyError, TypeError):
                return None, None
            size += sum(e.stat().st_size for e in folder.rglob("*") if e.is_file() and e.name != "zarr.json")
            bits = (meta.get("attributes") or {}).get("source_bits") or [None] * c
            raw += n * sum(b / 8.0 if isinstance(b, (int, float)) and b > 0 else item for b in bits)
        return size, raw

    def describe(self, name: str) -> dict:
        rec = self.record(name)
        return {"name": name, "start_time": rec.start_time, "duration": rec.duration,
                "arrays": [a.as_json() for a in rec.arrays.values()],
                "annotators": sorted(self._annotations(rec))}

    def array(self, rec: RecordInfo, params: dict) -> ArrayInfo:
        name = params.get("array") or next(iter(rec.arrays), None)
        if name not in rec.arrays:
            raise RequestError(404, f"no array {name!r} in record {rec.name!r}")
        return rec.arrays[name]

    def channels(self, a: ArrayInfo, params: dict) -> list:
        text = params.get("channels")
        if text is None or text == "":
            return list(range(len(a.channels)))
        try:
            picked = [int(t) for t in text.split(",")]
        except ValueError:
            raise RequestError(400, f"'channels' must be channel numbers separated by commas, not {text!r}") from None
        if any(not 0 <= c < len(a.channels) for c in picked) or len(set(picked)) != len(picked):
            raise RequestError(400, f"'channels' must be distinct numbers from 0 to {len(a.channels) - 1}")
        return picked

    def sample_range(self, a: ArrayInfo, params: dict) -> tuple:
        """[first, stop) samples of the `start`/`stop` times in seconds."""
        duration = a.samples / a.rate
        t0 = _number(params, "start", 0.0)
        t1 = _number(params, "stop", duration)
        if t0 < 0 or t1 > duration + 1.0 / a.rate or t0 >= t1:
            raise RequestError(400, f"the time range must lie within 0 to {duration:g} s with start before stop "
                               f"(got {t0:g} to {t1:g})")
        s0 = min(a.samples, max(0, math.floor(t0 * a.rate)))
        s1 = min(a.samples, max(s0 + 1, math.ceil(t1 * a.rate)))
        return s0, s1

    # Samples and envelopes

    def data(self, name: str, params: dict) -> tuple:
        """(header, float32 values) for a time range of one array."""
        rec = self.record(name)
        a = self.array(rec, params)
        chans = self.channels(a, params)
        points = _whole(params, "points", DEFAULT_POINTS, 1, MAX_POINTS)
        s0, s1 = self.sample_range(a, params)
        span = s1 - s0
        head = {"array": a.name, "channels": chans, "rate": a.rate, "start": s0, "stop": s1}
        if span <= points:
            # Single samples, one more on each side so lines reach the edges.
            a0, a1 = max(0, s0 - 1), min(a.samples, s1 + 1)
            x = self.samples(a, a0, a1, chans)
            head.update(kind="samples", level=-1, per_column=1, t0=a0 / a.rate, dt=1.0 / a.rate, n=a1 - a0)
            return head, x
        base = a.overview.levels[0].block if a.overview is not None else None
        cost = span * len(a.channels)
        if base is None or (span / base < points / 2 and cost <= RAW_BUDGET):
            if cost > RAW_HARD_LIMIT:
                raise RequestError(400, f"{span} samples is too long a range to draw without an overview "
                                   f"pyramid: run `vantoresk index` on the store, or ask for a shorter range")
            g = -(-span // points)
            a0, a1 = s0 // g * g, min(a.samples, -(-s1 // g) * g)
            lo, hi = ov.block_extremes(self.samples(a, a0, a1, chans), g, None)
            head.update(kind="envelope", level=-1, per_column=g, t0=a0 / a.rate, dt=g / a.rate, n=lo.shape[1])
            return head, np.stack([lo, hi], axis=1)
        levels = a.overview.levels
        # The finest level that needs at most 4 blocks per column.
        lv = next((lv for lv in levels if -(-span // lv.block) <= 4 * points), levels[-1])
        k0, k1 = s0 // lv.block, -(-s1 // lv.block)
        g = -(-(k1 - k0) // points)
        k0 = k0 // g * g
        k1 = min(lv.blocks, -(-k1 // g) * g)
        lo, hi = a.overview.read(lv.index, k0, k1, chans)
        if g > 1:
            lo, hi = ov.block_extremes(lo, g, None)[0], ov.block_extremes(hi, g, None)[1]
        head.update(kind="envelope", level=lv.index, per_column=g * lv.block, t0=k0 * lv.block / a.rate,
                    dt=g * lv.block / a.rate, n=lo.shape[1])
        return head, np.stack([lo, hi], axis=1)

    def overview_blocks(self, name: str, params: dict) -> tuple:
        """(header, values): blocks [start, stop) of one pyramid level as
        stored, in physical units, (channel, 2, block)."""
        rec = self.record(name)
        a = self.array(rec, params)
        if a.overview is None:
            raise RequestError(404, f"array {a.name!r} of record {name!r} has no overview pyramid")
        chans = self.channels(a, params)
        level = _whole(params, "level", 0, 0, len(a.overview.levels) - 1)
        lv = a.overview.levels[level]
        k0 = _whole(params, "start", 0, 0, lv.blocks - 1)
        k1 = _whole(params, "stop", min(lv.blocks, k0 + MAX_OVERVIEW_BLOCKS), k0 + 1, lv.blocks)
        if k1 - k0 > MAX_OVERVIEW_BLOCKS:
            raise RequestError(400, f"at most {MAX_OVERVIEW_BLOCKS} blocks per request")
        lo, hi = a.overview.read(level, k0, k1, chans)
        head = {"array": a.name, "channels": chans, "level": level, "block": lv.block, "start": k0, "stop": k1,
                "kind": "envelope", "per_column": lv.block, "t0": k0 * lv.block / a.rate,
                "dt": lv.block / a.rate, "n": k1 - k0}
        return head, np.stack([lo, hi], axis=1)

    def samples(self, a: ArrayInfo, s0: int, s1: int, chans: list) -> np.ndarray:
        """Physical float32 samples [s0, s1) of the chosen channels, from
        decoded chunks kept for the next request."""
        if (s1 - s0) * len(a.channels) > RAW_HARD_LIMIT:
            raise RequestError(400, "range too long to decode at once")
        ks = range(s0 // a.chunk, -(-s1 // a.chunk))
        blocks = self._chunks(a, ks)
        parts = []
        for k in ks:
            lo = max(s0 - k * a.chunk, 0)
            hi = min(s1 - k * a.chunk, blocks[k].shape[1])
            parts.append(blocks[k][chans, lo:hi])
        return np.concatenate(parts, axis=1) if parts else np.zeros((len(chans), 0), np.float32)

    def _chunks(self, a: ArrayInfo, ks) -> dict:
        """Decoded chunks `ks` of an array: cached ones as they are, each run
        of missing ones read in one call, so the codec decodes them side by
        side on several cores."""
        out, missing = {}, []
        with self._lock:
            for k in ks:
                hit = self._cache.get((id(a), k))
                if hit is None:
                    missing.append(k)
                else:
                    self._cache.move_to_end((id(a), k))
                    out[k] = hit
        runs = []
        for k in missing:
            if runs and runs[-1][1] == k:
                runs[-1][1] = k + 1
            else:
                runs.append([k, k + 1])
        for k0, k1 in runs:
            raw = np.asarray(a.node[:, k0 * a.chunk:min(a.samples, k1 * a.chunk)])
            x = ov.to_physical(raw, a.scale, a.offset, a.fill)
            for k in range(k0, k1):
                out[k] = x[:, (k - k0) * a.chunk:(k - k0 + 1) * a.chunk]
            self._remember(a, {k: out[k] for k in range(k0, k1)})
        return out

    def _remember(self, a: ArrayInfo, blocks: dict) -> None:
        with self._lock:
            for k, x in blocks.items():
                self._cache[(id(a), k)] = x
                self._cached += x.size
            while self._cached > CACHE_VALUES and len(self._cache) > 1:
                _, old = self._cache.popitem(last=False)
                self._cached -= old.size

    # Annotations

    def _annotations(self, rec: RecordInfo) -> dict:
        if rec.annotations is None:
            found = {}
            try:
                ann = rec.group["annotations"]
                groups = list(ann.groups())
            except (KeyError, FileNotFoundError, AttributeError):
                groups = []
            for key, g in groups:
                try:
                    cols = {c: np.asarray(g[c][...]) for c in ("onset", "label")}
                    for c in ("duration", "aux", "chan"):
                        cols[c] = np.asarray(g[c][...]) if c in g else None
                except (KeyError, FileNotFoundError):
                    continue
                attrs = dict(g.attrs)
                order = np.argsort(cols["onset"], kind="stable")
                found[key] = {"cols": {c: (None if v is None else v[order]) for c, v in cols.items()},
                              "labels": list(attrs.get("labels", [])), "aux_values": list(attrs.get("aux_values", []))}
            rec.annotations = found
        return rec.annotations

    def annotations(self, name: str, params: dict) -> dict:
        rec = self.record(name)
        t0 = _number(params, "start", 0.0)
        t1 = _number(params, "stop", max(rec.duration, t0))
        if t1 < t0:
            raise RequestError(400, "'stop' must not come before 'start'")
        limit = _whole(params, "limit", 2000, 1, MAX_EVENTS)
        events, count = [], 0
        for key, ann in sorted(self._annotations(rec).items()):
            cols = ann["cols"]
            i0, i1 = np.searchsorted(cols["onset"], [t0, t1], side="left")
            count += int(i1 - i0)
            for i in range(i0, min(i1, i0 + limit - len(events))):
                events.append(self._event(key, ann, i))
        events.sort(key=lambda e: e["t"])
        return {"events": events, "count": count, "truncated": count > len(events)}

    @staticmethod
    def _event(key: str, ann: dict, i: int) -> dict:
        cols, labels, aux_values = ann["cols"], ann["labels"], ann["aux_values"]
        lab = int(cols["label"][i])
        aux = -1 if cols["aux"] is None else int(cols["aux"][i])
        return {"annotator": key, "t": float(cols["onset"][i]),
                "d": 0.0 if cols["duration"] is None else float(cols["duration"][i]),
                "label": labels[lab] if 0 <= lab < len(labels) else str(lab),
                "aux": aux_values[aux] if 0 <= aux < len(aux_values) else None,
                "chan": -1 if cols["chan"] is None else int(cols["chan"][i])}
