"""The archive layout inside a record's group, written by the converter and
read back by `read.py`, `export.py` and `info.py`.

    <record>/                  attrs: source, format, start_time, comments,
                               header, channels, arrays, settings
      signals[_<rate>hz[_k]]   (channel*, time*) the source's integers with CF
                               scale_factor, add_offset, _FillValue
      channel[_<suffix>]       the array's channel names (its channel dimension)
      channel[_<suffix>]_units units per channel, a coordinate beside it
      time[_<rate>hz]          CF integer time: microseconds since the start
      annotations/<annotator>  onset, duration, sample, label, aux, subtype,
                               chan, num: 1-D arrays of one length; strings
                               as indices into the attributes labels and
                               aux_values

One array per set of channels sharing rate, length and integer-to-physical
mapping; a record with one such set has the plain names `signals`,
`channel` and `time`. The root holds `vantoresk` (writer, layout) and
`records`, an index of what each record holds.
"""

from __future__ import annotations

import warnings
from typing import Optional, Sequence

import numpy as np

LAYOUT = 2
ANNOTATIONS = "annotations"
_TIME_CALENDAR = "proleptic_gregorian"
_NO_START = "1970-01-01 00:00:00"


def writer() -> str:
    """The writer stamped on stores: the package and its version."""
    try:
        from importlib.metadata import version

        return f"vantoresk {version('vantoresk')}"
    except Exception:
        return "vantoresk"


def rate_tag(rate: Optional[float]) -> str:
    return "" if rate is None else "_" + f"{rate:g}".replace(".", "p").replace("+", "") + "hz"


def dimension_names(groups: Sequence) -> list:
    """(channel dimension, time dimension) per signal group."""
    keys = list(dict.fromkeys((g.sampling_rate, g.n_samples) for g in groups))
    times: dict = {}
    for k in keys:
        name = "time" if len(keys) == 1 else "time" + rate_tag(k[0])
        base, i = name, 2
        while name in times.values():
            name, i = f"{base}_{i}", i + 1
        times[k] = name
    out = []
    for g in groups:
        chan = "channel" if len(groups) == 1 else "channel" + g.name[len("signals"):]
        out.append((chan, times[(g.sampling_rate, g.n_samples)]))
    return out


def time_units(start_time: Optional[str]) -> str:
    start = _NO_START if not start_time else start_time.replace("T", " ")
    return f"microseconds since {start}"


def time_values(rate: float, a: int, b: int) -> np.ndarray:
    """Microseconds from the start of samples [a, b) at `rate`."""
    return np.round(np.arange(a, b, dtype=np.float64) * (1e6 / rate)).astype(np.int64)


def create_coordinates(zgroup, groups: Sequence, dims: list, units_of_time: str, chunks: list) -> None:
    """The channel, channel units and time coordinate arrays (time empty:
    `write_time` fills it block by block beside the samples)."""
    zarr = _zarr()
    made = set()
    for g, (cdim, tdim), chunk in zip(groups, dims, chunks):
        for name, values in ((cdim, g.channels), (cdim + "_units", g.units)):
            arr = zgroup.create_array(name, shape=(len(values),), dtype=str, dimension_names=(cdim,))
            arr[:] = np.array([str(v) for v in values], dtype=object)
        if g.sampling_rate is None or tdim in made:
            continue
        made.add(tdim)
        # Bit-shuffled, an evenly spaced int64 series takes about 0.02 bytes a sample.
        blosc = zarr.codecs.BloscCodec(cname="zstd", clevel=9, shuffle="bitshuffle", typesize=8)
        zgroup.create_array(
            tdim, shape=(g.n_samples,), chunks=(chunk,), dtype="int64", fill_value=0,
            compressors=[blosc], dimension_names=(tdim,),
            attributes={"units": units_of_time, "calendar": _TIME_CALENDAR, "sampling_rate": g.sampling_rate},
        )


def time_owner(zgroup, array: str) -> Optional[str]:
    """The time coordinate `array` writes: its time dimension when it is the
    first array on that dimension and the coordinate exists."""
    names = list(zgroup.attrs.get("arrays", []))
    dims = {n: tuple(zgroup[n].metadata.dimension_names or ()) for n in names}
    tdim = dims[array][1] if len(dims[array]) == 2 else None
    if tdim is None or tdim not in zgroup.array_keys():
        return None
    first = next(n for n in names if len(dims[n]) == 2 and dims[n][1] == tdim)
    return tdim if first == array else None


# Annotations

def write_annotations(zgroup, tables: Sequence) -> list:
    """Each table as `annotations/<name>`; the names written."""
    if not tables:
        return []
    parent = zgroup.create_group(ANNOTATIONS)
    names = []
    for t in tables:
        labels, label_idx = _categories(t.label, allow_none=False)
        aux_values, aux_idx = _categories(t.aux, allow_none=True)
        g = parent.create_group(t.name, attributes={
            "labels": labels, "aux_values": aux_values,
            **{k: v for k, v in t.extra.items() if not isinstance(v, np.ndarray)}})
        columns = {"onset": np.asarray(t.onset, np.float64), "duration": np.asarray(t.duration, np.float64),
                   "sample": np.asarray(t.sample, np.int64), "label": label_idx, "aux": aux_idx,
                   "subtype": np.asarray(t.subtype, np.int16), "chan": np.asarray(t.chan, np.int16)}
        columns.update({k: v for k, v in t.extra.items() if isinstance(v, np.ndarray)})
        for col, values in columns.items():
            arr = g.create_array(col, shape=values.shape, chunks=(max(1, min(values.size, 1 << 20)),),
                                 dtype=values.dtype, dimension_names=("event",),
                                 compressors=[_zarr().codecs.ZstdCodec(level=5)])
            if values.size:
                arr[:] = values
        names.append(t.name)
    return names


def read_annotations(zgroup) -> dict:
    """{annotator: Annotations} of a record group (empty without any)."""
    from .readers import Annotations

    if ANNOTATIONS not in zgroup.group_keys():
        return {}
    out = {}
    parent = zgroup[ANNOTATIONS]
    for name in sorted(parent.group_keys()):
        g = parent[name]
        attrs = dict(g.attrs)
        from .limits import annotation_problem

        problem = annotation_problem(g, attrs)
        if problem:
            raise ValueError(f"annotation table {name!r}: damaged metadata: {problem}")
        labels, aux_values = list(attrs.get("labels", [])), list(attrs.get("aux_values", []))
        cols = {k: g[k][...] for k in g.array_keys()}
        n = cols["onset"].size
        if any(v.shape != (n,) for v in cols.values()):
            raise ValueError(f"annotation table {name!r} has columns of different lengths")
        label = [_lookup(labels, i, name) for i in cols["label"]]
        aux = ["" if i < 0 else _lookup(aux_values, i, name) for i in cols["aux"]]
        extra = {k: v for k, v in cols.items()
                 if k not in ("onset", "duration", "sample", "label", "aux", "subtype", "chan")}
        extra.update({k: v for k, v in attrs.items() if k not in ("labels", "aux_values")})
        out[name] = Annotations(name, cols["onset"], cols["duration"], cols["sample"], label, aux,
                                cols["subtype"], cols["chan"], extra)
    return out


def _categories(values: Sequence, *, allow_none: bool) -> tuple:
    """(distinct strings, int32 index per value); with `allow_none` the
    empty string is -1 instead of a category."""
    cats: dict = {}
    idx = np.empty(len(values), dtype=np.int32)
    for i, v in enumerate(values):
        if allow_none and v == "":
            idx[i] = -1
        else:
            idx[i] = cats.setdefault(v, len(cats))
    return list(cats), idx


def _lookup(table: list, i, name: str) -> str:
    i = int(i)
    if not 0 <= i < len(table):
        raise ValueError(f"annotation table {name!r} refers to label {i} of {len(table)}")
    return str(table[i])


# The root index

def record_summary(zgroup) -> dict:
    attrs = dict(zgroup.attrs)
    arrays = list(attrs.get("arrays", []))
    rates, channels, duration = [], 0, 0.0
    for a in arrays:
        arr = zgroup[a]
        rate = arr.attrs.get("sampling_rate")
        channels += int(arr.shape[0])
        if rate:
            rates.append(float(rate))
            duration = max(duration, arr.shape[1] / float(rate))
    return {"duration": duration if rates else None, "channels": channels,
            "rates": sorted(set(rates)), "start_time": attrs.get("start_time"), "arrays": arrays}


def update_index(store: str, names: Sequence[str]) -> None:
    """Refresh the root's record index for `names` and for every record it
    lacks (one finished by a run that was killed before this step); records
    gone from the store leave it. Stamp the writer, consolidate the metadata."""
    zarr = _zarr()
    from . import store as st

    # Not through the consolidated metadata: they list what the last run left.
    root = zarr.open_group(store, mode="r+", use_consolidated=False)
    index = dict(root.attrs.get("records", {}) or {})
    present = set(st.record_names(store))
    index = {k: v for k, v in index.items() if k in present}
    for name in sorted(set(names) | (present - set(index))):
        if name in present:
            index[name] = record_summary(root[name])
    root.attrs.update({"vantoresk": {"writer": writer(), "layout": LAYOUT},
                       "records": dict(sorted(index.items()))})
    consolidate(store)


def consolidate(store: str) -> None:
    """Consolidate the store's metadata, its entries sorted by path.

    zarr nests the flat entries by grouping neighbours with the same parent
    after ordering them by depth alone, so entries of one parent must sit
    together within a depth; zarr writes them in a case-blind order, which
    splits the children of records whose names differ only in case (and
    then the store no longer opens, or lists a record's nodes wrongly)."""
    import json

    from . import store as st

    zarr = _zarr()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # consolidated metadata is a zarr-python extension in format 3
        zarr.consolidate_metadata(store)
    doc = st._read_json(store, "zarr.json")
    meta = (doc or {}).get("consolidated_metadata")
    if not isinstance(meta, dict) or not isinstance(meta.get("metadata"), dict):
        return
    ordered = dict(sorted(meta["metadata"].items()))
    if list(ordered) == list(meta["metadata"]):
        return
    meta["metadata"] = ordered
    data = json.dumps(doc, indent=2).encode()
    rem = st._remote(store)
    if rem is not None:
        fs, root = rem
        fs.pipe_file(f"{root}/zarr.json", data)
        return
    import os

    path = os.path.join(store, "zarr.json")
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)  # readers see the old or the new file, never half of one


def _zarr():
    from ._deps import require

    return require("zarr", "Writing Zarr stores")
