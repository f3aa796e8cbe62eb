"""Record readers: one module per source format, all behind one small
interface so the converter reads every archive the same way, in blocks.

A record holds one or more signal groups. Each group is a set of channels
sampled at one rate with one length, and becomes one array (channels x time)
in the store. Most records have a single group; WFDB records with several
samples per frame and EDF files with mixed rates have more.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
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

    @property
    def n_channels(self) -> int:
        return len(self.channels)


class RecordReader(Protocol):
    path: str
    name: str
    format: str
    groups: Sequence[SignalGroup]

    def read(self, group: int, start: int, stop: int) -> np.ndarray:
        """Physical samples [start, stop) of a group, float64, channels x time."""

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
    as given, existing or not: the converter reports the missing ones.
    """
    for p in paths:
        if os.path.isdir(p):
            for root, dirs, files in os.walk(p):
                dirs.sort()
                dirs[:] = [d for d in dirs if not d.startswith(".") and not d.endswith(".zarr")]
                for f in sorted(files):
                    if source_kind(f):
                        yield os.path.join(root, f)
        elif source_kind(p) is None and os.path.exists(p + ".hea"):
            yield p + ".hea"
        else:
            yield p


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
    "RecordError",
    "RecordReader",
    "SignalGroup",
    "find_sources",
    "group_names",
    "open_record",
    "record_name",
    "source_kind",
]
