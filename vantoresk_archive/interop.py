"""Records read from a store handed to the analysis libraries: an MNE raw
object in SI units with its measurement date and annotations, and a WFDB
record with the source's format, gain, baseline and samples per frame
(the stored integers, so a lossless record writes back the same samples).
"""

from __future__ import annotations

import datetime as dt
import os
import re
from typing import Optional

import numpy as np

from ._deps import require

# Physical units to volts, for MNE (which takes SI units).
_VOLTS = {"v": 1.0, "mv": 1e-3, "uv": 1e-6, "µv": 1e-6, "μv": 1e-6, "nv": 1e-9}
_ECG = re.compile(r"^(ecg|ekg|mlii|mliii|ml[a-z]*|mcl\d*|i{1,3}|v\d|avr|avl|avf|v\d+r?)\b|ecg|ekg", re.I)
_TYPES = (("eog", re.compile(r"eog", re.I)), ("emg", re.compile(r"emg", re.I)),
          ("resp", re.compile(r"resp|thor|abdo|airflow", re.I)))
# WFDB formats and the digital value of a missing sample in each.
_WFDB_INVALID = {"80": -128, "508": -128, "310": -512, "311": -512, "212": -2048, "16": -32768, "61": -32768,
                 "160": -32768, "516": -32768, "24": -(1 << 23), "524": -(1 << 23), "32": -(1 << 31)}


def channel_type(name: str, unit: str, source_format: str) -> str:
    if unit.lower() not in _VOLTS:
        return "resp" if _TYPES[2][1].search(name) else "misc"
    for kind, pattern in _TYPES:
        if pattern.search(name):
            return kind
    if _ECG.search(name.strip()):
        return "ecg"
    return "eeg" if source_format in ("edf", "bdf") else "ecg"


def to_mne(rec, rate: Optional[float] = None):
    """An `mne.io.RawArray` of the channels at one rate (`rate`, needed when
    the record has several), volts for volt units, with `meas_date` (UTC as
    the source does not say) and every annotation table as annotations."""
    mne = require("mne", "Handing records to MNE")
    if rate is None:
        if len(rec.signals) != 1:
            rates = ", ".join(f"{s.rate:g}" for s in rec.signals)
            raise ValueError(f"record {rec.name!r} has channels at several rates ({rates} Hz) and MNE takes one: "
                             "choose it with rate=")
        sig = rec.signals[0]
    else:
        sig = next((s for s in rec.signals if s.rate == rate), None)
        if sig is None:
            raise ValueError(f"record {rec.name!r} has no channels at {rate} Hz")
    if not sig.rate:
        raise ValueError(f"record {rec.name!r} has no sampling rate")
    fmt = str(rec.attrs.get("format", ""))
    scale = np.array([_VOLTS.get(u.lower(), 1.0) for u in sig.units])
    info = mne.create_info([str(c) for c in sig.channels], float(sig.rate),
                           [channel_type(c, u, fmt) for c, u in zip(sig.channels, sig.units)], verbose=False)
    raw = mne.io.RawArray(sig.data * scale[:, None], info, verbose=False)
    meas = None
    if rec.start_time is not None:
        meas = (rec.start_time + dt.timedelta(seconds=sig.first / sig.rate)).replace(tzinfo=dt.timezone.utc)
        raw.set_meas_date(meas)
    onset, duration, text = [], [], []
    for name, t in rec.annotations.items():
        for k in range(len(t)):
            onset.append(float(t.onset[k]) - sig.first / sig.rate)
            duration.append(float(t.duration[k]))
            text.append(t.label[k] if not t.aux[k] else f"{t.label[k]} {t.aux[k]}")
    if onset:
        raw.set_annotations(mne.Annotations(onset, duration, text, orig_time=meas))
    return raw


def to_wfdb(rec, record_name: Optional[str] = None):
    """A `wfdb.Record` of everything read: digital samples in each channel's
    source format where the store has the source's integers, samples per
    frame for several rates (their ratios must be whole numbers)."""
    wfdb = require("wfdb", "Building WFDB records")
    chans = rec.in_order()
    if not chans:
        raise ValueError(f"record {rec.name!r}: no channels to write")
    if any(s.rate is None for s, _ in chans):
        raise ValueError(f"record {rec.name!r} has no sampling rate; WFDB needs one")
    header = rec.attrs.get("header") or {}
    frame_rate = _frame_rate(rec, header)
    fmts, gains, baselines, digital, spf, units, names, res, zero = [], [], [], [], [], [], [], [], []
    for sig, k in chans:
        raw, attrs, row = sig.stored[k]
        facts = (attrs.get("source") or [{}] * (row + 1))[row] if isinstance(attrs.get("source"), list) else {}
        fmt, gain, base, d = _wfdb_digital(raw, attrs, facts, rec.attrs.get("format"))
        ratio = sig.rate / frame_rate
        if abs(ratio - round(ratio)) > 1e-9 or round(ratio) < 1:
            raise ValueError(f"record {rec.name!r}: {sig.rate:g} Hz is not a whole multiple of {frame_rate:g} Hz")
        # Whole gains as whole numbers, as WFDB headers usually spell them ("200", not "200.0").
        fmts.append(fmt), gains.append(int(gain) if float(gain).is_integer() else gain)
        baselines.append(base), digital.append(d)
        spf.append(int(round(ratio))), units.append(sig.units[k] or "NU"), names.append(sig.channels[k])
        res.append(int(facts.get("adc_res") or _BITS[fmt])), zero.append(int(facts.get("adc_zero") or 0))
    frames = min(d.size // s for d, s in zip(digital, spf))
    digital = [d[: frames * s] for d, s in zip(digital, spf)]
    name = record_name or rec.name
    files = _file_names(name, fmts)
    start = rec.start_time + dt.timedelta(seconds=rec.window[0]) if rec.start_time is not None else None
    expanded = any(s != 1 for s in spf)
    kwargs = dict(
        record_name=name, n_sig=len(chans), fs=frame_rate, sig_len=frames, file_name=files, fmt=fmts,
        adc_gain=gains, baseline=baselines, units=units, sig_name=names, samps_per_frame=spf,
        adc_res=res, adc_zero=zero, block_size=[0] * len(chans), skew=[None] * len(chans),
        byte_offset=[None] * len(chans), comments=[str(c) for c in rec.attrs.get("comments") or []],
    )
    if start is not None:
        kwargs.update(base_date=start.date(), base_time=start.time())
    elif header.get("base_time") is not None:
        kwargs.update(base_time=dt.time.fromisoformat(header["base_time"]))
    if expanded:
        kwargs["e_d_signal"] = digital
    else:
        kwargs["d_signal"] = np.stack(digital, axis=1) if digital else None
    record = wfdb.Record(**kwargs)
    record.set_d_features(expanded=expanded)
    return record


_BITS = {"8": 8, "16": 16, "61": 16, "80": 8, "160": 16, "212": 12, "310": 10, "311": 10, "24": 24, "32": 32,
         "508": 8, "516": 16, "524": 24}


def _frame_rate(rec, header: dict) -> float:
    rates = [s.rate for s in rec.signals]
    if rec.attrs.get("format") == "wfdb" and header.get("fs"):
        return float(header["fs"])
    if rec.attrs.get("format") in ("edf", "bdf") and header.get("datarecord_duration"):
        base = 1.0 / float(header["datarecord_duration"])  # one frame per data record when rates differ
        return min(rates) if len(set(rates)) == 1 else base
    return min(rates)


def _wfdb_digital(raw: np.ndarray, attrs: dict, facts: dict, source_format) -> tuple:
    """(format, gain, baseline, digital samples) of one channel."""
    fill = attrs.get("_FillValue")
    if raw.dtype.kind in "iu" and "scale_factor" in attrs:
        scale, offset = float(attrs["scale_factor"]), float(attrs.get("add_offset", 0.0))
        if source_format == "wfdb" and facts.get("fmt") in _WFDB_INVALID:
            fmt = str(facts["fmt"])
            gain = float(facts.get("adc_gain") or 1.0 / scale)
            base = int(facts.get("baseline") or 0)
        else:
            fmt = "16" if raw.dtype.itemsize <= 2 else ("24" if _fits(raw, fill, 24) else "32")
            gain = 1.0 / scale
            base = int(round(-offset / scale))
        d = raw.astype(np.int64)
        if fill is not None:
            d[raw == fill] = _WFDB_INVALID[fmt]
        return fmt, gain, base, d
    # Floats: the finest step that keeps 32-bit integers in range.
    x = raw.astype(np.float64)
    fin = x[np.isfinite(x)]
    peak = float(np.max(np.abs(fin))) if fin.size else 1.0
    gain = float((2 ** 31 - 2) / peak) if peak > 0 else 1.0
    d = np.where(np.isfinite(x), np.round(np.nan_to_num(x) * gain), _WFDB_INVALID["32"]).astype(np.int64)
    return "32", gain, 0, d


def _fits(raw: np.ndarray, fill, bits: int) -> bool:
    valid = raw[raw != fill] if fill is not None else raw
    lim = 1 << (bits - 1)
    return not valid.size or (int(valid.min()) > -lim and int(valid.max()) < lim)


def _file_names(name: str, fmts: list) -> list:
    """One signal file per format (a file holds one format), `<name>.dat`
    when one is enough."""
    distinct = list(dict.fromkeys(fmts))
    if len(distinct) == 1:
        return [f"{name}.dat"] * len(fmts)
    return [f"{name}_{distinct.index(f) + 1}.dat" for f in fmts]


def write_wfdb(record, folder: str) -> str:
    os.makedirs(folder or ".", exist_ok=True)
    record.wrsamp(expanded=record.e_d_signal is not None, write_dir=folder or ".")
    return os.path.join(folder or ".", record.record_name + ".hea")
