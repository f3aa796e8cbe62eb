"""Records out of a store: .npy (channels x time, physical units), or WFDB
and EDF/BDF files written by their own libraries.

A record is written back as its source was: WFDB with each channel's
format, gain, baseline and samples per frame (one record for several
rates) and its annotation files; EDF/BDF with the source's bit depth,
digital and physical ranges, header fields, start time, data record
duration and annotations, no padding. The samples are the stored integers,
so a lossless record exports to the source's own samples.
"""

from __future__ import annotations

import datetime as dt
import os
import warnings
from typing import Optional

import numpy as np

from ._deps import require
from .read import physical, read_record, record_group

FORMATS = ("npy", "wfdb", "edf")


def export_record(store: str, record: str, out: str, *, fmt: str = "npy", array: Optional[str] = None) -> str:
    """Write the decoded record to `out`; returns the path written."""
    if fmt not in FORMATS:
        raise ValueError(f"unknown export format {fmt!r} (choose from {', '.join(FORMATS)})")
    if fmt == "npy":
        return _write_npy(store, record, out, array)
    rec = read_record(store, record)
    if fmt == "wfdb":
        return _write_wfdb(rec, out)
    return _write_edf(rec, out)


def _write_npy(store: str, record: str, out: str, array: Optional[str]) -> str:
    group = record_group(store, record)
    names = list(group.attrs["arrays"])
    path = out if out.endswith(".npy") else out + ".npy"
    if array is None:
        rec = read_record(store, record)
        if len(rec.signals) != 1:
            raise KeyError(f"record {record!r} has channels at several rates: choose an array with --array "
                           f"({', '.join(names)})")
        data, wide = rec.data, any(s[0].dtype.itemsize > 2 for s in rec.signals[0].stored)
    else:
        if array not in names:
            raise KeyError(f"record {record!r} has no array {array!r} (arrays: {', '.join(names)})")
        arr = group[array]
        raw = arr[...]
        data, wide = physical(raw, dict(arr.attrs)), raw.dtype.itemsize > 2
    # float32 holds every 16-bit source exactly; wider ones keep float64.
    np.save(path, data.astype(np.float64 if wide else np.float32))
    return path


# WFDB

def _write_wfdb(rec, out: str) -> str:
    from .interop import to_wfdb, write_wfdb

    wfdb = require("wfdb", "Writing WFDB records")
    folder, name = os.path.split(out[:-4] if out.endswith(".hea") else out)
    record = to_wfdb(rec, record_name=name)
    path = write_wfdb(record, folder)
    for ext, t in rec.annotations.items():
        if not len(t):
            continue
        fs = float(t.extra.get("fs") or record.fs)
        sample = np.round(t.onset * fs).astype(np.int64)
        if rec.attrs.get("format") == "wfdb":
            symbols, aux = list(t.label), [a or "" for a in t.aux]
        else:  # free-text events: WFDB comment annotations carrying the text
            symbols, aux = ['"'] * len(t), list(t.label)
        wfdb.wrann(name, ext if ext.isalnum() else "ann", sample, symbol=symbols,
                   subtype=np.asarray(t.subtype, np.int64), chan=np.maximum(np.asarray(t.chan, np.int64), 0),
                   num=np.asarray(t.extra.get("num", np.zeros(len(t))), np.int64), aux_note=aux,
                   fs=fs if fs != record.fs else None, write_dir=folder or ".")
    return path


# EDF / BDF

_EDF_TEXT = ("technician", "recording_additional", "patientname", "patient_additional", "patientcode",
             "equipment", "admincode", "sex", "birthdate")


def _write_edf(rec, out: str) -> str:
    pyedflib = require("pyedflib", "Writing EDF/BDF files")
    header = rec.attrs.get("header") or {}
    source = rec.attrs.get("format")
    chans = rec.in_order()
    if any(s.rate is None for s, _ in chans):
        raise ValueError(f"record {rec.name!r} has no sampling rate; EDF needs one")
    heads, digital, bdf = [], [], False
    for sig, k in chans:
        raw, attrs, row = sig.stored[k]
        facts = attrs.get("source")[row] if isinstance(attrs.get("source"), list) else {}
        head, d, wide = _edf_signal(rec.name, sig, k, raw, attrs, facts if source in ("edf", "bdf") else {})
        heads.append(head), digital.append(d)
        bdf = bdf or wide
    if source in ("edf", "bdf"):
        bdf = int(header.get("filetype", 1)) in (2, 3)
        duration = float(header["datarecord_duration"])
    else:
        duration = _record_duration([d.size for d in digital], [s.rate for s, _ in chans], rec.name)
    for h, (sig, _) in zip(heads, chans):
        h["sample_frequency"] = sig.rate
    ftype = pyedflib.FILETYPE_BDFPLUS if bdf else pyedflib.FILETYPE_EDFPLUS
    path = out if out.lower().endswith((".edf", ".bdf")) else out + (".bdf" if bdf else ".edf")
    if os.path.dirname(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
    start = rec.start_time + dt.timedelta(seconds=rec.window[0]) if rec.start_time else dt.datetime(1985, 1, 1)
    writer = pyedflib.EdfWriter(path, len(chans), file_type=ftype)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the library warns whenever a record duration is set
            writer.setDatarecordDuration(duration)
        writer.setSignalHeaders(heads)
        fields = {k: str(header.get(k, "") or "") for k in _EDF_TEXT}
        fields["birthdate"] = fields["birthdate"] or ""
        fields["startdate"] = start
        writer.setHeader(fields)
        for t in rec.annotations.values():
            for k in range(len(t)):
                text = t.label[k] if not t.aux[k] else f"{t.label[k]} {t.aux[k]}"
                writer.writeAnnotation(float(t.onset[k]) - rec.window[0], float(t.duration[k]), text)
        writer.writeSamples([d.astype(np.int32) for d in digital], digital=True)
    finally:
        writer.close()
    return path


def _edf_signal(record: str, sig, k: int, raw: np.ndarray, attrs: dict, facts: dict) -> tuple:
    """(signal header, digital samples, needs 24 bits) of one channel."""
    fill = attrs.get("_FillValue")
    if raw.dtype.kind not in "iu" or "scale_factor" not in attrs:
        raise ValueError(f"record {record!r}: channel {sig.channels[k]} holds floats, not ADC samples; "
                         "export it as npy or WFDB")
    if fill is not None and np.any(raw == fill):
        raise ValueError(f"record {record!r}: channel {sig.channels[k]} has missing samples, which EDF cannot "
                         "mark; export it as WFDB")
    scale, offset = float(attrs["scale_factor"]), float(attrs.get("add_offset", 0.0))
    if facts:
        dmin, dmax = int(facts["digital_min"]), int(facts["digital_max"])
        pmin, pmax = float(facts["physical_min"]), float(facts["physical_max"])
    else:
        bits = 16 if raw.dtype.itemsize <= 2 else 24
        dmin, dmax = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
        if raw.size and (int(raw.min()) < dmin or int(raw.max()) > dmax):
            raise ValueError(f"record {record!r}: channel {sig.channels[k]} does not fit EDF/BDF samples")
        pmin, pmax = dmin * scale + offset, dmax * scale + offset
    head = {"label": str(sig.channels[k])[:16], "dimension": str(sig.units[k])[:8],
            "physical_min": pmin, "physical_max": pmax, "digital_min": dmin, "digital_max": dmax,
            "transducer": str(facts.get("transducer", "")), "prefilter": str(facts.get("prefilter", ""))}
    return head, raw.astype(np.int64), dmax > 32767


def _record_duration(lengths: list, rates: list, record: str) -> float:
    """A data record duration (0.001 to 60 s) that holds a whole number of
    samples of every channel and divides the record exactly: no padding."""
    n0, r0 = lengths[0], rates[0]
    lo = max(1, -(-n0 // int(60 * r0)) if 60 * r0 >= 1 else n0)
    for records in range(lo, min(n0, lo + 1_000_000) + 1):
        if any(n % records for n in lengths):
            continue
        d = n0 / records / r0
        if 0.001 <= d <= 60 and all(abs(n / records / r - d) <= 1e-9 * d for n, r in zip(lengths, rates)):
            return d
    raise ValueError(f"record {record!r}: no EDF data record duration divides its length exactly")
