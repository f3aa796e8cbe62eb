"""WFDB records (`.hea` header and its signal files), read in blocks of
frames with the `wfdb` package. Channels with several samples per frame
form their own group at their own rate, so nothing is averaged away."""

from __future__ import annotations

import os
from typing import Optional

import numpy as np

from .._deps import require
from . import RecordError, SignalGroup, group_names, record_name

# Bits per stored sample of each WFDB signal file format.
FORMAT_BITS = {
    "8": 8, "16": 16, "61": 16, "80": 8, "160": 16, "212": 12, "310": 10, "311": 10,
    "24": 24, "32": 32, "508": 8, "516": 16, "524": 24,
}


class WfdbReader:
    format = "wfdb"

    def __init__(self, path: str) -> None:
        self._wfdb = require("wfdb", "Reading WFDB records")
        self.path = str(path)
        self._base = self.path[:-4] if self.path.lower().endswith(".hea") else self.path
        self.name = record_name(self.path)
        try:
            header = self._wfdb.rdheader(self._base)
        except Exception as exc:  # the library raises many kinds on a bad header
            raise RecordError(self.path, f"damaged or unreadable header ({type(exc).__name__}: {exc})") from None
        if not hasattr(header, "adc_gain"):
            raise RecordError(self.path, "multi-segment records are not supported")
        n_sig = int(header.n_sig or 0)
        if n_sig == 0:
            raise RecordError(self.path, "the record has no signals")
        if not header.sig_len:
            raise RecordError(self.path, "the header gives no signal length")
        if not header.fs or not (float(header.fs) > 0):
            raise RecordError(self.path, "the header gives no sampling rate")
        self._frames = int(header.sig_len)
        spf = [int(s or 1) for s in (header.samps_per_frame or [1] * n_sig)]
        _check_signal_files(self.path, os.path.dirname(self._base), header, spf, self._frames)
        # One group per distinct samples-per-frame, in order of first use.
        self._members: list = []
        multiples: list = []
        for s in dict.fromkeys(spf):
            self._members.append([i for i in range(n_sig) if spf[i] == s])
            multiples.append(s)
        fs = float(header.fs)
        names = group_names([fs * s for s in multiples])
        self.groups = tuple(
            SignalGroup(
                name=names[g],
                sampling_rate=fs * multiples[g],
                channels=tuple(str(header.sig_name[i]) for i in idx),
                units=tuple(str(header.units[i] or "") for i in idx),
                adc_step=tuple(_step(header.adc_gain[i]) for i in idx),
                source_bits=tuple(FORMAT_BITS.get(str(header.fmt[i])) for i in idx),
                n_samples=self._frames * multiples[g],
                block_multiple=multiples[g],
            )
            for g, idx in enumerate(self._members)
        )

    def read(self, group: int, start: int, stop: int) -> np.ndarray:
        spf = self.groups[group].block_multiple
        f0, f1 = start // spf, -(-stop // spf)
        try:
            rec = self._wfdb.rdrecord(
                self._base, sampfrom=f0, sampto=f1, channels=list(self._members[group]),
                physical=True, smooth_frames=False,
            )
        except Exception as exc:
            raise RecordError(self.path, f"cannot read samples {start} to {stop} ({type(exc).__name__}: {exc})") from None
        off = start - f0 * spf
        out = np.empty((len(self._members[group]), stop - start), dtype=np.float64)
        for row, sig in enumerate(rec.e_p_signal):
            got = np.asarray(sig, dtype=np.float64)[off: off + stop - start]
            if got.size != stop - start:
                raise RecordError(self.path, f"signal file ends early (sample {start + got.size} of {self.groups[group].n_samples})")
            out[row] = got
        return out

    def close(self) -> None:
        pass


def _check_signal_files(path: str, folder: str, header, spf: list, frames: int) -> None:
    """Every signal file exists and is long enough for the header's length
    (FLAC formats, which have no fixed size, only need to exist)."""
    bits_per_frame: dict = {}
    for i, fname in enumerate(header.file_name):
        bits = FORMAT_BITS.get(str(header.fmt[i]))
        if bits is None or str(header.fmt[i]) in ("508", "516", "524"):
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


def _step(gain: Optional[float]) -> Optional[float]:
    return 1.0 / float(gain) if gain and float(gain) > 0 else None
