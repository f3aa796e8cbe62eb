"""`info`: what a container file, a lane frame or an archive store holds,
read from headers and chunk frames without decoding any samples."""

from __future__ import annotations

import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

from ._deps import require
from .quality import chunk_sizes, ratio

HEADER = struct.Struct("<4sH2s4sBBBBIfffI16s")
MAGIC = b"VNTR"
WAVELETS = {b"cf53": "cdf53", b"cf97": "cdf97", b"db04": "db4", b"sym4": "sym4"}
CODERS = {0: "deflate", 1: "arans"}


@dataclass(frozen=True)
class ContainerInfo:
    wavelet: str
    levels: int
    scale: int
    coder: str
    samples: int
    minimum: float
    maximum: float
    mean: float
    payload_bytes: int
    container_bytes: int

    def lines(self) -> list:
        ratio_f32 = 4.0 * self.samples / self.container_bytes if self.container_bytes else 0.0
        return [
            f"wavelet        {self.wavelet}",
            f"levels         {self.levels}",
            f"scale          {self.scale}",
            f"coder          {self.coder}",
            f"samples        {self.samples}",
            f"range          {self.minimum:.6g} to {self.maximum:.6g} (mean {self.mean:.6g} of the unit range)",
            f"payload bytes  {self.payload_bytes}",
            f"total bytes    {self.container_bytes} (ratio {ratio_f32:.2f} against float32)",
        ]


def parse_container(data: bytes) -> ContainerInfo:
    """The header fields of a container; ValueError when it is not one."""
    if len(data) < HEADER.size:
        raise ValueError("too short for a container header (52 bytes)")
    (magic, version, fmt, tag, levels, scale, coder, _r, n, lo, hi, mean, plen, _tail) = HEADER.unpack_from(data)
    if magic != MAGIC:
        raise ValueError("not a container (no VNTR magic)")
    if version != 1 or fmt != b"f3":
        raise ValueError(f"unsupported container version {version} or sample format {fmt!r}")
    if tag not in WAVELETS or coder not in CODERS:
        raise ValueError("damaged container header (unknown wavelet or coder)")
    if HEADER.size + plen > len(data):
        raise ValueError(f"truncated container: the header promises {plen} payload bytes, "
                         f"the file has {len(data) - HEADER.size}")
    return ContainerInfo(WAVELETS[tag], levels, scale, CODERS[coder], n, lo, hi, mean, plen, HEADER.size + plen)


def frame_lines(data: bytes) -> list:
    inspect_frame = require("vantoresk_zarr", "Reading lane frames").inspect_frame
    fr = inspect_frame(data)
    lines = [
        f"lane frame     {len(data)} bytes",
        f"dtype          {fr.dtype}",
        f"shape          {tuple(fr.shape)} ({fr.order} order), lanes along axis {fr.axis}",
        f"{'lane':>5} {'samples':>10} {'bytes':>10} {'ratio':>7}  settings",
    ]
    for i, lane in enumerate(fr.lanes):
        if lane.lossless:
            how = f"lossless ({lane.kind})"
        elif lane.kind == "near-lossless":
            how = f"near-lossless, within {lane.steps} levels of {lane.step:.6g}"
        else:
            how = f"{lane.method} scale {lane.scale} {lane.coder}"
        if lane.nonfinite:
            how += f", {lane.nonfinite} non-finite"
        r = ratio(fr.dtype.itemsize * lane.length, lane.nbytes)
        lines.append(f"{i:>5} {lane.length:>10} {lane.nbytes:>10} {r or 0:>7.2f}  {how}")
    return lines


def file_lines(path: str) -> list:
    data = Path(path).read_bytes()
    if data[:4] == MAGIC:
        return parse_container(data).lines()
    try:
        return frame_lines(data)
    except ImportError:
        raise
    except Exception as exc:
        raise ValueError(f"neither a container nor a lane frame ({exc})") from None


def store_rows(store: str, records: Optional[list] = None) -> list:
    """One row per record, array and channel of an archive store."""
    from . import store as st

    st.open_root(store, create=False)
    zarr = st.zarr_module()
    rows = []
    for name in records or st.record_names(store):
        group = zarr.open_group(str(Path(store) / name), mode="r")
        for aname in group.attrs.get("arrays", []):
            arr = group[aname]
            attrs = dict(arr.attrs)
            sizes = chunk_sizes(arr)
            n = arr.shape[1]
            for c in range(arr.shape[0]):
                bits = (attrs.get("source_bits") or [None] * arr.shape[0])[c]
                nbytes = int(sizes.nbytes[c])
                rows.append({
                    "record": name, "array": aname,
                    "channel": attrs.get("channel_names", [str(c)] * arr.shape[0])[c],
                    "rate": attrs.get("sampling_rate"), "samples": n, "bytes": nbytes,
                    "ratio_float32": ratio(4.0 * n, nbytes),
                    "ratio_source": ratio(None if bits is None else bits / 8.0 * n, nbytes),
                    "prdn": (attrs.get("prdn") or [None] * arr.shape[0])[c],
                    "max_error": (attrs.get("max_abs_error") or [None] * arr.shape[0])[c],
                    "settings": sizes.describe(c),
                })
    return rows
