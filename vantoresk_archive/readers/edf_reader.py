"""EDF, EDF+, BDF and BDF+ files read in blocks with `pyedflib`, as the
file's own digital samples (int16 for EDF, int32 for 24-bit BDF).

Channels sharing rate, length, digital and physical range form one group
(one integer-to-physical mapping per stored array). Annotation channels are
not signals: their events become the record's `edf` annotation table. The
header's patient and recording fields, each channel's transducer,
prefilter and ranges, the start time and the data record duration are kept
so an export can write the file back as it was.
"""

from __future__ import annotations

import datetime as dt

import numpy as np

from .._deps import require
from . import Annotations, RecordError, SignalGroup, group_names, record_name, split_groups

MAX_RATE = 1e6
_HEADER_TEXT = ("technician", "recording_additional", "patientname", "patient_additional", "patientcode",
                "equipment", "admincode", "sex", "gender", "birthdate")


class EdfReader:
    format = "edf"

    def __init__(self, path: str) -> None:
        pyedflib = require("pyedflib", "Reading EDF/BDF files")
        self.path = str(path)
        self.name = record_name(self.path)
        self.warnings: list = []
        try:
            try:
                self._reader = pyedflib.EdfReader(self.path)
            except Exception as exc:
                from .edf_lenient import open_lenient

                self._reader, self.warnings = open_lenient(self.path, pyedflib.EdfReader, exc)
        except Exception as exc:
            raise RecordError(self.path, f"damaged or unreadable EDF/BDF file ({type(exc).__name__}: {exc})") from None
        r = self._reader
        try:
            n_sig = int(r.signals_in_file)
            if n_sig == 0:
                raise RecordError(self.path, "the file has no signals")
            bdf = int(getattr(r, "filetype", 0)) in (2, 3)  # BDF and BDF+ hold 24-bit samples
            self.format = "bdf" if bdf else "edf"
            dtype = "int32" if bdf else "int16"
            rates = [float(r.getSampleFrequency(i)) for i in range(n_sig)]
            if not all(0 < f <= MAX_RATE for f in rates):
                raise RecordError(self.path, f"unusable sampling rates {rates}")
            lengths = [int(n) for n in r.getNSamples()[:n_sig]]
            facts = [self._channel(i) for i in range(n_sig)]
            keys = [(f["digital_min"], f["digital_max"], f["physical_min"], f["physical_max"]) for f in facts]
            self._members = split_groups(rates, lengths, keys)
            names = group_names([rates[idx[0]] for idx in self._members])
            groups = []
            for g, idx in enumerate(self._members):
                f = facts[idx[0]]
                scale, offset = _mapping(f)
                groups.append(SignalGroup(
                    name=names[g], sampling_rate=rates[idx[0]],
                    channels=tuple(facts[i]["label"] for i in idx),
                    units=tuple(facts[i]["dimension"] for i in idx),
                    adc_step=tuple(abs(scale) if scale else None for _ in idx),
                    source_bits=(24 if bdf else 16,) * len(idx),
                    n_samples=lengths[idx[0]], dtype=dtype, scale_factor=scale, add_offset=offset,
                    fill_value=_outside(f["digital_min"], f["digital_max"], dtype), index=tuple(idx),
                    facts=tuple(facts[i] for i in idx),
                ))
            self.groups = tuple(groups)
            head = r.getHeader()
            start = r.getStartdatetime()
            sub = int(getattr(r, "starttime_subsecond", 0) or 0)  # units of 100 ns
            if sub:
                start = start + dt.timedelta(microseconds=sub // 10)
            self.start_time = start.isoformat()
            self.comments = []
            self.header = {k: str(head.get(k, "") or "") for k in _HEADER_TEXT}
            self.header.update({
                "filetype": int(r.filetype),
                "datarecord_duration": float(r.datarecord_duration),
                "datarecords_in_file": int(r.datarecords_in_file),
                "samples_in_datarecord": [int(r.samples_in_datarecord(i)) for i in range(n_sig)],
            })
        except RecordError:
            self.close()
            raise
        except Exception as exc:
            self.close()
            raise RecordError(self.path, f"damaged EDF/BDF header ({type(exc).__name__}: {exc})") from None

    def _channel(self, i: int) -> dict:
        h = self._reader.getSignalHeader(i)
        return {
            "label": str(h.get("label", "")).strip(),
            "dimension": str(h.get("dimension", "")).strip(),
            "transducer": str(h.get("transducer", "")).strip(),
            "prefilter": str(h.get("prefilter", "")).strip(),
            "physical_min": float(h["physical_min"]), "physical_max": float(h["physical_max"]),
            "digital_min": int(h["digital_min"]), "digital_max": int(h["digital_max"]),
            "sample_frequency": float(self._reader.getSampleFrequency(i)),
            "samples_in_datarecord": int(self._reader.samples_in_datarecord(i)),
        }

    def read_stored(self, group: int, start: int, stop: int) -> np.ndarray:
        g = self.groups[group]
        out = np.empty((g.n_channels, stop - start), dtype=g.dtype)
        try:
            for row, ch in enumerate(self._members[group]):
                out[row] = self._reader.readSignal(ch, start, stop - start, digital=True)
        except Exception as exc:
            raise RecordError(self.path, f"cannot read samples {start} to {stop} ({type(exc).__name__}: {exc})") from None
        return out

    def read(self, group: int, start: int, stop: int) -> np.ndarray:
        g = self.groups[group]
        return self.read_stored(group, start, stop) * g.scale_factor + g.add_offset

    def annotations(self) -> list:
        try:
            onset, duration, text = self._reader.readAnnotations()
        except Exception:
            return []
        if len(onset) == 0:
            return []
        onset = np.asarray(onset, dtype=np.float64)
        n = onset.size
        return [Annotations(
            name="edf", onset=onset, duration=np.maximum(np.asarray(duration, dtype=np.float64), 0.0),
            sample=np.full(n, -1, dtype=np.int64), label=[str(t) for t in text], aux=[""] * n,
            subtype=np.zeros(n, np.int16), chan=np.full(n, -1, np.int16),
        )]

    def close(self) -> None:
        reader, self._reader = getattr(self, "_reader", None), None
        if reader is not None:
            reader.close()


def _mapping(f: dict) -> tuple:
    """(scale_factor, add_offset) taking digital samples to physical ones."""
    dig = f["digital_max"] - f["digital_min"]
    phys = f["physical_max"] - f["physical_min"]
    if dig == 0 or phys == 0:
        return 1.0, 0.0
    scale = phys / dig
    return scale, f["physical_min"] - f["digital_min"] * scale


def _outside(lo: int, hi: int, dtype: str):
    """A value of `dtype` outside the digital range [lo, hi], to mark missing
    samples; None when the range fills the dtype."""
    info = np.iinfo(dtype)
    if lo > info.min:
        return int(info.min)
    if hi < info.max:
        return int(info.max)
    return None
