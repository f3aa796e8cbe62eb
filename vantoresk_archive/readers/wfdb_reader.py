"""WFDB records (`.hea` header and its signal files), read in blocks of
frames with the `wfdb` package, as the source's own integers.

Channels with several samples per frame form their own group at their own
rate, so nothing is averaged away; channels with their own gain, baseline
or sample width form their own group too (one integer-to-physical mapping
per stored array). Multi-segment records are read as one record: the
channels of the layout header (or of the first segment), each segment's
samples at its place, and gaps and channels a segment lacks as missing
samples; a channel whose gain or baseline changes between segments is kept
in physical units (float64) at the finest step of its segments. The
header's own fields, the segment map and every annotation file beside the
header are kept.
"""

from __future__ import annotations

import datetime as dt
import os
from typing import Optional

import numpy as np

from .._deps import require
from . import (Annotations, RecordError, SignalGroup, dtype_for_bits, group_names, record_name,
               split_groups)

# Bits per stored sample of each WFDB signal file format.
FORMAT_BITS = {
    "8": 8, "16": 16, "61": 16, "80": 8, "160": 16, "212": 12, "310": 10, "311": 10,
    "24": 24, "32": 32, "508": 8, "516": 16, "524": 24,
}
FLAC_FORMATS = ("508", "516", "524")
# Bounds on what a header may claim, checked before anything is sized from it.
MAX_RATE = 1e6
MAX_SIGNALS = 4096
MAX_SEGMENTS = 1 << 20
# Files beside a header that are never annotation files.
_NOT_ANNOTATIONS = {"hea", "dat", "mat", "flac", "npy", "edf", "bdf", "csv", "txt", "json", "xml", "zip", "gz"}
_MAX_ANNOTATION_FILE = 1 << 30
# Channel fields of a header kept in the store, and the record's own.
CHANNEL_FACTS = ("fmt", "adc_gain", "baseline", "units", "adc_res", "adc_zero", "init_value", "checksum",
                 "block_size", "samps_per_frame", "skew", "byte_offset", "file_name", "sig_name")
RECORD_FACTS = ("fs", "counter_freq", "base_counter", "sig_len", "n_sig")


def invalid_value(fmt: str) -> Optional[int]:
    """The digital value a format uses for a missing sample (its lowest)."""
    bits = FORMAT_BITS.get(str(fmt))
    return None if bits is None or str(fmt) == "8" else -(1 << (bits - 1))


class WfdbReader:
    format = "wfdb"

    def __init__(self, path: str) -> None:
        self._wfdb = require("wfdb", "Reading WFDB records")
        self.path = str(path)
        self._base = self.path[:-4] if self.path.lower().endswith(".hea") else self.path
        self._folder = os.path.dirname(self._base)
        self.name = record_name(self.path)
        try:
            header = self._wfdb.rdheader(self._base, rd_segments=True)
        except Exception as exc:  # the library raises many kinds on a bad header
            raise RecordError(self.path, f"damaged or unreadable header ({type(exc).__name__}: {exc})") from None
        self._multi = not hasattr(header, "adc_gain")
        if not header.fs or not (0 < float(header.fs) <= MAX_RATE):
            raise RecordError(self.path, f"the header gives no usable sampling rate ({header.fs!r})")
        fs = float(header.fs)
        if self._multi:
            layout, self._segments = self._segment_map(header)
            self._frames = sum(n for _, _, n in self._segments)
        else:
            layout, self._segments = header, [(header, 0, int(header.sig_len or 0))]
            self._frames = int(header.sig_len or 0)
            if not header.sig_len:
                raise RecordError(self.path, "the header gives no signal length")
        n_sig = int(layout.n_sig or 0)
        if n_sig == 0:
            raise RecordError(self.path, "the record has no signals")
        if n_sig > MAX_SIGNALS:
            raise RecordError(self.path, f"the header claims {n_sig} signals (at most {MAX_SIGNALS} are read)")
        self._names = [str(n) for n in layout.sig_name]
        chans = [self._channel(layout, i) for i in range(n_sig)]
        if not self._multi:
            _check_signal_files(self.path, self._folder, header, [c["samps_per_frame"] for c in chans], self._frames)
        spf = [c["samps_per_frame"] for c in chans]
        bits = [FORMAT_BITS.get(c["fmt"]) for c in chans]
        # A channel whose gain or baseline changes between segments has no one
        # integer mapping: it is kept in physical units (float64) instead.
        keys = [("float64", None, None) if c.get("varies") else (dtype_for_bits(b), c["adc_gain"], c["baseline"])
                for b, c in zip(bits, chans)]
        self._members = split_groups([fs * s for s in spf], spf, keys)
        names = group_names([fs * spf[idx[0]] for idx in self._members])
        groups = []
        for g, idx in enumerate(self._members):
            c0 = chans[idx[0]]
            gain = c0["adc_gain"] or 200.0  # 0 means uncalibrated: the library's default gain
            common = dict(
                name=names[g], sampling_rate=fs * spf[idx[0]],
                channels=tuple(self._names[i] for i in idx),
                units=tuple(chans[i]["units"] for i in idx),
                source_bits=tuple(bits[i] for i in idx),
                n_samples=self._frames * spf[idx[0]], block_multiple=spf[idx[0]], index=tuple(idx),
                facts=tuple({k: v for k, v in chans[i].items() if k != "gains"} for i in idx))
            if c0.get("varies"):  # the finest step any segment has
                groups.append(SignalGroup(adc_step=tuple(1.0 / max(chans[i]["gains"]) for i in idx),
                                          dtype="float64", **common))
                continue
            dtype = dtype_for_bits(bits[idx[0]] if bits[idx[0]] is not None else 32)
            groups.append(SignalGroup(
                adc_step=tuple(1.0 / gain for _ in idx), dtype=dtype, scale_factor=1.0 / gain,
                add_offset=-float(c0["baseline"]) / gain + 0.0, fill_value=int(np.iinfo(dtype).min), **common))
        self.groups = tuple(groups)
        self.start_time = _start_time(header)
        self.comments = [str(c) for c in (header.comments or [])]
        self.header = {k: _plain(getattr(header, k, None)) for k in RECORD_FACTS}
        if getattr(header, "base_time", None) is not None:
            self.header["base_time"] = header.base_time.isoformat()
        if getattr(header, "base_date", None) is not None:
            self.header["base_date"] = header.base_date.isoformat()
        if self._multi:
            self.header["segments"] = [
                {"name": None if seg is None else str(seg.record_name), "start": int(a), "length": int(n)}
                for seg, a, n in self._segments]
            self.header["layout"] = str(getattr(header, "layout", "") or "")

    def _segment_map(self, header):
        names = list(header.seg_name or [])
        lens = [int(n) for n in (header.seg_len or [])]
        segs = list(getattr(header, "segments", None) or [None] * len(names))
        if not names or len(names) > MAX_SEGMENTS or len(lens) != len(names):
            raise RecordError(self.path, "the multi-segment header lists no usable segments")
        layout = None
        if lens[0] == 0 and segs[0] is not None:  # a layout header: every channel any segment has
            layout = segs[0]
            names, lens, segs = names[1:], lens[1:], segs[1:]
        out, start = [], 0
        for name, n, seg in zip(names, lens, segs):
            if n < 0:
                raise RecordError(self.path, f"segment {name} has a negative length")
            if name != "~" and seg is None:
                raise RecordError(self.path, f"missing segment header {name}.hea")
            if seg is not None and int(seg.sig_len or 0) != n:
                raise RecordError(self.path, f"segment {name} holds {seg.sig_len} frames, the record lists {n}")
            out.append((seg if name != "~" else None, start, n))
            start += n
        if layout is None:
            layout = next((s for s, _, _ in out if s is not None), None)
            if layout is None:
                raise RecordError(self.path, "the record has only gaps")
        for seg, _, _ in out:
            if seg is not None:
                _check_signal_files(self.path, self._folder, seg,
                                    [int(s or 1) for s in (seg.samps_per_frame or [1] * seg.n_sig)],
                                    int(seg.sig_len or 0))
        return layout, out

    def _channel(self, layout, i: int) -> dict:
        """Channel `i`'s facts; the same format width and samples per frame
        in every segment that has it (else refused), and whether its gain or
        baseline `varies` from segment to segment."""
        facts = {k: _plain(_field(layout, k, i)) for k in CHANNEL_FACTS}
        facts["fmt"] = str(facts["fmt"] or "16")
        facts["units"] = str(facts["units"] or "")
        facts["samps_per_frame"] = int(facts["samps_per_frame"] or 1)
        facts["adc_gain"] = float(facts["adc_gain"] or 0.0)
        facts["baseline"] = int(facts["baseline"] or 0)
        if FORMAT_BITS.get(facts["fmt"]) is None:
            raise RecordError(self.path, f"signal {self._names[i]}: unknown format {facts['fmt']}")
        if facts["samps_per_frame"] < 1 or facts["samps_per_frame"] * float(layout.fs) > MAX_RATE:
            raise RecordError(self.path, f"signal {self._names[i]}: unusable samples per frame")
        if self._multi:
            facts["gains"] = [facts["adc_gain"] or 200.0]
            for seg, _, _ in self._segments:
                if seg is None or self._names[i] not in list(seg.sig_name):
                    continue
                j = list(seg.sig_name).index(self._names[i])
                gain, base = float(seg.adc_gain[j] or 0.0), int(seg.baseline[j] or 0)
                spf = int((seg.samps_per_frame or [1] * seg.n_sig)[j] or 1)
                width = dtype_for_bits(FORMAT_BITS.get(str(seg.fmt[j])))
                if spf != facts["samps_per_frame"] or width != dtype_for_bits(FORMAT_BITS.get(facts["fmt"])):
                    raise RecordError(self.path, f"signal {self._names[i]} changes its sample width or samples "
                                      f"per frame in segment {seg.record_name}; not supported")
                if (gain, base) != (facts["adc_gain"], facts["baseline"]):
                    facts["varies"] = True
                facts["gains"].append(gain or 200.0)
        return facts

    # Samples

    def read_stored(self, group: int, start: int, stop: int) -> np.ndarray:
        g = self.groups[group]
        spf = g.block_multiple
        f0, f1 = start // spf, -(-stop // spf)
        fill = g.fill_value if g.integer else np.nan
        out = np.full((g.n_channels, (f1 - f0) * spf), fill, dtype=g.dtype)
        for seg, a, n in self._segments:
            lo, hi = max(f0, a), min(f1, a + n)
            if seg is None or lo >= hi:
                continue
            seg_names = list(seg.sig_name) if self._multi else self._names
            rows = [(r, seg_names.index(name)) for r, name in enumerate(g.channels) if name in seg_names]
            if not rows:
                continue
            base = os.path.join(self._folder, str(seg.record_name)) if self._multi else self._base
            try:
                rec = self._wfdb.rdrecord(base, sampfrom=lo - a, sampto=hi - a, channels=[j for _, j in rows],
                                          physical=False, smooth_frames=False)
            except Exception as exc:
                raise RecordError(self.path, f"cannot read samples {start} to {stop} "
                                  f"({type(exc).__name__}: {exc})") from None
            for (r, j), sig in zip(rows, rec.e_d_signal):
                got = np.asarray(sig)
                if got.size != (hi - lo) * spf:
                    raise RecordError(self.path, f"signal file ends early (frame {lo + got.size // spf} "
                                      f"of {self._frames})")
                bad = invalid_value(str(seg.fmt[j]))
                if not g.integer:  # physical units with this segment's own gain and baseline
                    gain = float(seg.adc_gain[j] or 0.0) or 200.0
                    part = (got - float(seg.baseline[j] or 0)) / gain
                    if bad is not None:
                        part[got == bad] = np.nan
                else:
                    part = got.astype(g.dtype)
                    if bad is not None and bad != g.fill_value:
                        part[got == bad] = g.fill_value
                out[r, (lo - f0) * spf:(hi - f0) * spf] = part
        off = start - f0 * spf
        return out[:, off: off + stop - start]

    def read(self, group: int, start: int, stop: int) -> np.ndarray:
        g = self.groups[group]
        d = self.read_stored(group, start, stop)
        if not g.integer:
            return d
        return np.where(d == g.fill_value, np.nan, d * g.scale_factor + g.add_offset)

    def annotations(self) -> list:
        """Every annotation file `<record>.<ext>` beside the header that the
        library reads, by extension."""
        prefix = os.path.basename(self._base) + "."
        try:
            files = sorted(os.listdir(self._folder or "."))
        except OSError:
            return []
        tables = []
        for f in files:
            ext = f[len(prefix):] if f.startswith(prefix) else ""
            full = os.path.join(self._folder, f)
            if not ext or "." in ext or ext.lower() in _NOT_ANNOTATIONS or not os.path.isfile(full) \
                    or os.path.getsize(full) > _MAX_ANNOTATION_FILE:
                continue
            try:
                ann = self._wfdb.rdann(self._base, ext)
            except Exception:
                continue  # not an annotation file
            tables.append(_table(ext, ann, float(self.header["fs"])))
        return tables

    def close(self) -> None:
        pass


def _table(ext: str, ann, record_fs: float) -> Annotations:
    n = len(ann.sample)
    fs = float(ann.fs) if getattr(ann, "fs", None) else record_fs
    sample = np.asarray(ann.sample, dtype=np.int64)
    if fs != record_fs:  # the annotator counts at its own rate
        base = np.round(sample * (record_fs / fs)).astype(np.int64)
    else:
        base = sample
    def ints(values, dtype):
        return np.asarray(values if values is not None and len(values) == n else [0] * n, dtype=dtype)
    return Annotations(
        name=ext, onset=sample / fs, duration=np.zeros(n), sample=base,
        label=[str(s) for s in (ann.symbol or [""] * n)],
        aux=[str(a or "") for a in (ann.aux_note or [""] * n)],
        subtype=ints(ann.subtype, np.int16), chan=ints(ann.chan, np.int16),
        extra={"num": ints(ann.num, np.int16), "fs": fs},
    )


def _field(header, name: str, i: int):
    values = getattr(header, name, None)
    return values[i] if values is not None and i < len(values) else None


def _plain(v):
    """A header value as JSON-able plain data."""
    if isinstance(v, (np.integer,)):
        return int(v)
    if isinstance(v, (np.floating,)):
        return float(v)
    if isinstance(v, (list, tuple)):
        return [_plain(x) for x in v]
    return v


def _start_time(header) -> Optional[str]:
    """ISO 8601 start of the record when the header gives a date and time."""
    date, time = getattr(header, "base_date", None), getattr(header, "base_time", None)
    if date is None or time is None:
        return None
    return dt.datetime.combine(date, time).isoformat()


def _check_signal_files(path: str, folder: str, header, spf: list, frames: int) -> None:
    """Every signal file exists and is long enough for the header's length
    (FLAC formats, which have no fixed size, only need to exist)."""
    bits_per_frame: dict = {}
    for i, fname in enumerate(header.file_name):
        bits = FORMAT_BITS.get(str(header.fmt[i]))
        if bits is None or str(header.fmt[i]) in FLAC_FORMATS:
            bits_per_frame[fname] = None
        elif bits_per_frame.get(fname, 0) is not None:
            bits_per_frame[fname] = bits_per_frame.get(fname, 0) + bits * spf[i]
    offsets = dict(zip(header.file_name, header.byte_offset or [None] * len(header.file_name)))
    for fname, bits in bits_per_frame.items():
        full = os.path.join(folder, fname)
        if not os.path.isfile(full):
            raise RecordError(path, f"missing signal file {fname}")
        if bits is None:
            continue
        need = -(-frames * bits // 8) + int(offsets.get(fname) or 0)
        have = os.path.getsize(full)
        if have < need:
            raise RecordError(path, f"signal file {fname} is truncated ({have} bytes, the header needs {need})")
