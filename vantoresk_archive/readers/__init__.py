"""Record readers: one module per source format, all behind one small
interface so the converter reads every archive the same way, in blocks.

A record holds one or more signal groups. Each group is a set of channels
that share one rate, one length and one integer-to-physical mapping (stored
dtype, gain, offset and invalid-sample value), and becomes one array
(channels x time) in the store: CF attributes are scalars per array, so
channels with their own gains form their own groups. Besides samples a
reader gives the record's start time, comments, header facts and
annotation tables.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Iterator, Optional, Protocol, Sequence

import numpy as np

SOURCE_SUFFIXES = {".hea": "wfdb", ".edf": "edf", ".bdf": "edf", ".npy": "npy"}


class RecordError(Exception):
    """A record that cannot be read: carries the path and the reason."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path = str(path)
        self.reason = reason


@dataclass(frozen=True)
class SignalGroup:
    """Channels that share one sampling rate and length (one stored array)."""

    name: str
    sampling_rate: Optional[float]
    channels: tuple
    units: tuple
    adc_step: tuple  # physical units per integer step, None where unknown
    source_bits: tuple  # bits per stored integer sample, None for float sources
    n_samples: int
    block_multiple: int = 1  # block starts and lengths must be multiples of this
    # How the samples are stored: the source's integers ("int16", "int32")
    # with physical = stored * scale_factor + add_offset and `fill_value`
    # marking missing samples, or floats ("float32", "float64") as they are.
    dtype: str = "float32"
    scale_factor: Optional[float] = None
    add_offset: Optional[float] = None
    fill_value: Optional[int] = None
    index: tuple = ()  # each channel's position among the record's signals
    facts: tuple = ()  # per channel: the source header's own fields (JSON-able)

    @property
    def n_channels(self) -> int:
        return len(self.channels)

    @property
    def integer(self) -> bool:
        return self.dtype.startswith("int")


@dataclass
class Annotations:
    """One annotation table: events with onset (s), duration (s), sample
    (at the record's base rate, -1 when unknown), label, aux text, subtype
    and channel; strings as they came, per event."""

    name: str
    onset: np.ndarray
    duration: np.ndarray
    sample: np.ndarray
    label: list
    aux: list
    subtype: np.ndarray
    chan: np.ndarray
    extra: dict = field(default_factory=dict)  # table-level facts (e.g. the annotator's rate)

    def __len__(self) -> int:
        return int(self.onset.size)


def dtype_for_bits(bits: Optional[int]) -> str:
    """The integer dtype that holds samples of `bits` bits."""
    if bits is None:
        return "float32"
    return "int16" if bits <= 16 else "int32"


def split_groups(rates: Sequence[float], lengths: Sequence[int], keys: Sequence[tuple]) -> list:
    """Channel indices per group: channels sharing rate, length and `keys`
    (their storage mapping), in order of first appearance."""
    order: dict = {}
    for i, k in enumerate(zip(rates, lengths, keys)):
        order.setdefault(k, []).append(i)
    return list(order.values())


class RecordReader(Protocol):
    path: str
    name: str
    format: str
    groups: Sequence[SignalGroup]

    start_time: Optional[str]  # ISO 8601 without a time zone, or None
    comments: list
    header: dict  # record-level facts of the source header

    def read(self, group: int, start: int, stop: int) -> np.ndarray:
        """Physical samples [start, stop) of a group, float64, channels x time."""

    def read_stored(self, group: int, start: int, stop: int) -> np.ndarray:
        """Samples [start, stop) of a group in its stored dtype (the source's
        integers, missing samples as the group's fill value)."""

    def annotations(self) -> list:
        """The record's annotation tables (`Annotations`), possibly none."""

    def close(self) -> None: ...


def record_name(path: str) -> str:
    """A store-safe name for the record at `path` (its file stem)."""
    stem = Path(path).name
    for suffix in SOURCE_SUFFIXES:
        if stem.lower().endswith(suffix):
            stem = stem[: -len(suffix)]
            break
    name = re.sub(r"[^A-Za-z0-9._-]", "_", stem).lstrip("._")
    return name or "record"


def group_names(rates: Sequence[Optional[float]]) -> list:
    """Array names for signal groups: "signals" alone, else by rate."""
    if len(rates) == 1:
        return ["signals"]
    names: list = []
    for rate in rates:
        base = "signals" if rate is None else "signals_" + f"{rate:g}".replace(".", "p") + "hz"
        name, k = base, 2
        while name in names:
            name, k = f"{base}_{k}", k + 1
        names.append(name)
    return names


def source_kind(path: str) -> Optional[str]:
    return SOURCE_SUFFIXES.get(Path(path).suffix.lower())


def find_sources(paths: Iterable[str]) -> Iterator[str]:
    """Expand directories into the record files below them, in sorted order.

    Files and WFDB record names (`dir/100` for `dir/100.hea`) are passed on
    as given, existing or not: the converter reports the missing ones. The
    segment and layout headers of a multi-segment WFDB record in the same
    folder are part of that record, not records of their own.
    """
    for path, _ in find_sources_rooted(paths):
        yield path


def find_sources_rooted(paths: Iterable[str]) -> Iterator[tuple]:
    """(record file, the converted root it was found under) pairs: a folder
    given is the root of everything below it; a file's root is its folder."""
    for p in paths:
        if os.path.isdir(p):
            for root, dirs, files in os.walk(p):
                dirs.sort()
                dirs[:] = [d for d in dirs if not d.startswith(".") and not d.endswith(".zarr")]
                segments = _segment_headers(root, files)
                for f in sorted(files):
                    if source_kind(f) and f not in segments:
                        yield os.path.join(root, f), p
        elif source_kind(p) is None and os.path.exists(p + ".hea"):
            yield p + ".hea", os.path.dirname(p)
        else:
            yield p, os.path.dirname(p)


_MAX_MASTER_HEADER = 1 << 20


def _segment_headers(folder: str, files: list) -> set:
    """Header files in `folder` that a multi-segment record there lists."""
    out: set = set()
    for f in files:
        if not f.lower().endswith(".hea"):
            continue
        try:
            with open(os.path.join(folder, f), "rb") as fh:
                text = fh.read(_MAX_MASTER_HEADER).decode("latin-1")
        except OSError:
            continue
        lines = [ln.strip() for ln in text.splitlines() if ln.strip() and not ln.lstrip().startswith("#")]
        if not lines or "/" not in lines[0].split()[0]:
            continue
        for ln in lines[1:]:
            seg = ln.split()[0]
            if seg != "~":
                out.add(seg + ".hea")
    return out


def open_record(path: str, *, sampling_rate: Optional[float] = None) -> RecordReader:
    """Open a record for block reading; raises RecordError when it cannot."""
    kind = source_kind(path)
    if not os.path.exists(path):
        raise RecordError(path, "no such file")
    if kind == "wfdb":
        from .wfdb_reader import WfdbReader

        return WfdbReader(path)
    if kind == "edf":
        from .edf_reader import EdfReader

        return EdfReader(path)
    if kind == "npy":
        from .npy_reader import NpyReader

        return NpyReader(path, sampling_rate=sampling_rate)
    raise RecordError(path, "unknown record type (expected .hea, .edf, .bdf or .npy)")


__all__ = [
    "Annotations",
    "RecordError",
    "RecordReader",
    "SignalGroup",
    "find_sources",
    "find_sources_rooted",
    "dtype_for_bits",
    "group_names",
    "open_record",
    "record_name",
    "source_kind",
    "split_groups",
]
