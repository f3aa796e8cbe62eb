"""The overview pyramid: per signal array, levels of per-block minimum and
maximum per channel, so a viewer can draw hours of signal as an envelope
without decoding it.

Layout, beside the array in its record group:

    <record>/overview/<array>/            group, attribute `overview` (below)
    <record>/overview/<array>/level_<k>   (channel, 2, block) arrays: [:, 0] the
                                          minima, [:, 1] the maxima

Level k has blocks of `block * factor**k` samples (the last block of a level
may be shorter); levels are added until one has at most `MAX_TOP_BLOCKS`
blocks. Values are kept in the array's own dtype with its CF attributes
(`scale_factor`, `add_offset`, `_FillValue`) copied, so they are exactly the
decoded samples' extremes; a block with no valid sample holds the fill
value (NaN for float arrays). The group attribute is written last: a
pyramid without it, or whose sample count differs from its array's, is
incomplete and ignored by readers.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np

OVERVIEW = "overview"
BLOCK = 256
FACTOR = 4
MAX_TOP_BLOCKS = 1024
LEVEL_CHUNK = 8192  # blocks per stored chunk of a level
READ_SPAN = 1 << 20  # samples per channel read at a time while building
KIND = "min-max pyramid"
CF_ATTRS = ("scale_factor", "add_offset", "_FillValue")


class OverviewError(ValueError):
    """A pyramid that cannot be written (something not ours is in the way)."""


@dataclass(frozen=True)
class Level:
    index: int
    block: int  # samples per block
    blocks: int


def level_plan(n_samples: int, block: int = BLOCK, factor: int = FACTOR, top: int = MAX_TOP_BLOCKS) -> list:
    """The levels a pyramid of an array of `n_samples` samples has."""
    levels = []
    b = block
    while True:
        nb = -(-n_samples // b)
        levels.append(Level(len(levels), b, nb))
        if nb <= top:
            return levels
        b *= factor


def _fill_of(arr) -> Optional[float]:
    if np.issubdtype(arr.dtype, np.floating):
        return None
    fv = arr.attrs.get("_FillValue")
    return None if fv is None else int(fv)


def block_extremes(x: np.ndarray, block: int, fill) -> tuple:
    """Per channel and block of `block` samples along the last axis of a 2-D
    array: (minima, maxima). NaN or the integer `fill` marks missing samples,
    left out; a block with none left holds NaN or `fill`. A last partial
    block is reduced as it is."""
    c, n = x.shape
    nb = -(-n // block)
    pad = nb * block - n
    if np.issubdtype(x.dtype, np.floating):
        if pad:
            x = np.concatenate([x, np.full((c, pad), np.nan, x.dtype)], axis=1)
        v = x.reshape(c, nb, block)
        return np.fmin.reduce(v, axis=2), np.fmax.reduce(v, axis=2)
    info = np.iinfo(x.dtype)
    if pad:
        x = np.concatenate([x, np.full((c, pad), info.max if fill is None else fill, x.dtype)], axis=1)
    v = x.reshape(c, nb, block)
    missing = np.zeros(v.shape, bool) if fill is None else (v == fill)
    if pad and fill is None:
        missing[:, -1, block - pad:] = True
    lo = np.where(missing, info.max, v).min(axis=2)
    hi = np.where(missing, info.min, v).max(axis=2)
    empty = missing.all(axis=2)
    if empty.any():
        lo[empty] = info.max if fill is None else fill
        hi[empty] = info.min if fill is None else fill
    return lo, hi


def _coarser(lo: np.ndarray, hi: np.ndarray, factor: int, fill) -> tuple:
    """The next level from one level's extremes."""
    if np.issubdtype(lo.dtype, np.floating):
        return block_extremes(lo, factor, None)[0], block_extremes(hi, factor, None)[1]
    return block_extremes(lo, factor, fill)[0], block_extremes(hi, factor, fill)[1]


def compute_levels(arr, block: int = BLOCK, factor: int = FACTOR, top: int = MAX_TOP_BLOCKS) -> list:
    """Every level's (minima, maxima) of a (channel, time) array, read span
    by span (whole chunks at a time) so a long record is never in memory."""
    c, n = arr.shape
    fill = _fill_of(arr)
    chunk = arr.chunks[1]
    span = max(block, (READ_SPAN // chunk) * chunk if chunk <= READ_SPAN else chunk)
    los, his = [], []
    carry = None
    for a in range(0, n, span):
        b = min(n, a + span)
        x = np.asarray(arr[:, a:b])
        if carry is not None:
            x = np.concatenate([carry, x], axis=1)
        whole = x.shape[1] if b == n else x.shape[1] // block * block
        carry = x[:, whole:] if whole < x.shape[1] else None
        if whole:
            lo, hi = block_extremes(x[:, :whole], block, fill)
            los.append(lo)
            his.append(hi)
    dtype = np.dtype(arr.dtype)
    lo = np.concatenate(los, axis=1) if los else np.zeros((c, 0), dtype)
    hi = np.concatenate(his, axis=1) if his else np.zeros((c, 0), dtype)
    out = [(lo, hi)]
    for _ in level_plan(n, block, factor, top)[1:]:
        lo, hi = _coarser(lo, hi, factor, fill)
        out.append((lo, hi))
    return out


def _is_ours(node) -> bool:
    attrs = dict(node.attrs)
    meta = attrs.get(OVERVIEW)
    return (isinstance(meta, dict) and meta.get("kind") == KIND) or attrs.get("kind") == KIND


def write_overview(group, name: str, *, block: int = BLOCK, factor: int = FACTOR, top: int = MAX_TOP_BLOCKS) -> list:
    """Write (or rewrite) the pyramid of array `name` of the record `group`
    (a writable Zarr group); returns its levels. Refuses, before writing,
    when something other than one of our pyramids holds its place."""
    import zarr

    arr = group[name]
    if arr.ndim != 2:
        raise OverviewError(f"{name}: expected a (channel, time) array, not {arr.ndim}-D")
    c, n = arr.shape
    if block < 2 or factor < 2:
        raise OverviewError("blocks and their growth factor must be at least 2")
    levels = level_plan(n, block, factor, top)
    data = compute_levels(arr, block, factor, top)
    members = dict(group.members())
    if OVERVIEW in members:
        parent = members[OVERVIEW]
        if not isinstance(parent, zarr.Group) or not _is_ours(parent):
            raise OverviewError(f"'{OVERVIEW}' in record group is not an overview pyramid: left as it is")
        existing = dict(parent.members())
        if name in existing and not (isinstance(existing[name], zarr.Group) and _is_ours(existing[name])):
            raise OverviewError(f"'{OVERVIEW}/{name}' is not an overview pyramid: left as it is")
    else:
        parent = group.create_group(OVERVIEW, attributes={"kind": KIND})
    target = parent.create_group(name, overwrite=True)
    cf = {k: arr.attrs[k] for k in CF_ATTRS if k in arr.attrs}
    fill = arr.fill_value
    for lv, (lo, hi) in zip(levels, data):
        values = np.stack([lo, hi], axis=1)
        level = target.create_array(
            f"level_{lv.index}", shape=values.shape, dtype=arr.dtype,
            chunks=(c, 2, min(LEVEL_CHUNK, max(1, lv.blocks))), fill_value=fill,
            compressors=_compressors(), dimension_names=("channel", "extreme", "block"),
            attributes={**cf, "block": lv.block},
        )
        if values.size:
            level[...] = values
    target.attrs[OVERVIEW] = {
        "kind": KIND, "block": block, "factor": factor, "samples": int(n), "channels": int(c),
        "levels": [{"block": lv.block, "blocks": lv.blocks} for lv in levels],
    }
    return levels


def _compressors():
    # Byte-shuffled zstd: extremes of neighbouring blocks share their high bytes.
    from zarr.codecs import BloscCodec

    return [BloscCodec(cname="zstd", clevel=5, shuffle="shuffle")]


@dataclass
class Overview:
    """A finished pyramid of one array, opened for reading."""

    group: object
    levels: list
    scale: float
    offset: float
    fill: Optional[float]

    def read(self, level: int, start: int, stop: int, channels=None) -> tuple:
        """Blocks [start, stop) of `level` as physical float32 (minima,
        maxima), (channel, block) each; missing blocks NaN."""
        arr = self.group[f"level_{level}"]
        sel = slice(None) if channels is None else list(channels)
        v = np.asarray(arr[sel, :, start:stop])
        lo, hi = to_physical(v[:, 0], self.scale, self.offset, self.fill), \
            to_physical(v[:, 1], self.scale, self.offset, self.fill)
        if self.scale < 0:
            lo, hi = hi, lo
        return lo, hi


def to_physical(v: np.ndarray, scale: float = 1.0, offset: float = 0.0, fill=None) -> np.ndarray:
    """Stored values to physical float32 units, fill values to NaN."""
    out = v.astype(np.float32) if scale == 1.0 and offset == 0.0 else \
        (v.astype(np.float64) * scale + offset).astype(np.float32)
    if fill is not None and not np.issubdtype(v.dtype, np.floating):
        out[v == fill] = np.nan
    return out


def open_overview(group, name: str) -> Optional[Overview]:
    """The finished pyramid of array `name` in a record group, or None."""
    try:
        target = group[f"{OVERVIEW}/{name}"]
        meta = dict(target.attrs).get(OVERVIEW)
        arr = group[name]
    except (KeyError, FileNotFoundError):
        return None
    if not isinstance(meta, dict) or meta.get("kind") != KIND:
        return None
    if meta.get("samples") != arr.shape[1] or meta.get("channels") != arr.shape[0]:
        return None  # written for another version of the array
    levels = [Level(i, int(lv["block"]), int(lv["blocks"])) for i, lv in enumerate(meta.get("levels", []))]
    if not levels:
        return None
    attrs = dict(arr.attrs)
    fill = attrs.get("_FillValue") if not np.issubdtype(arr.dtype, np.floating) else None
    return Overview(target, levels, float(attrs.get("scale_factor", 1.0)), float(attrs.get("add_offset", 0.0)), fill)


def has_overview(group, name: str) -> bool:
    return open_overview(group, name) is not None


def pyramid_bytes(record_dir) -> int:
    """Bytes on disk of a local record's pyramids."""
    from pathlib import Path

    root = Path(record_dir) / OVERVIEW
    return sum(p.stat().st_size for p in root.rglob("*") if p.is_file()) if root.is_dir() else 0


def index_store(store: str, *, force: bool = False) -> tuple:
    """Add the pyramid to every array of every finished record that lacks
    one (all of them with `force`). Returns (written, refused): (record,
    array, levels) per pyramid written, (record, array, reason) per array
    left alone because something not ours holds the pyramid's place. Only
    stores this package wrote are touched, and a record another process
    is converting right now is left to that run, which writes its own."""
    from . import store as st

    zarr = st.zarr_module()
    st.open_root(store, create=False)
    if not st.is_our_store(store):
        raise st.UsageError(f"{store}: not a store written by vantoresk: left as it is")
    done, refused = [], []
    for rec in st.record_names(store):
        claim = st.claim_record(store, rec)
        if not claim.held:
            continue
        try:
            group = zarr.open_group(f"{store}/{rec}", mode="r+", use_consolidated=False)
            for name in group.attrs.get("arrays", []):
                if force or not has_overview(group, name):
                    try:
                        done.append((rec, name, write_overview(group, name)))
                    except OverviewError as exc:
                        refused.append((rec, name, str(exc)))
        finally:
            claim.release()
    if done and "consolidated_metadata" in _root_meta(store):
        from .layout import consolidate

        with st.index_lock(store):
            consolidate(store)  # keep the consolidated view in step
    return done, refused


def _root_meta(store: str) -> dict:
    import json
    from pathlib import Path

    try:
        meta = json.loads((Path(store) / "zarr.json").read_text())
    except (OSError, ValueError):
        return {}
    return meta if isinstance(meta, dict) and meta.get("consolidated_metadata") else {}
