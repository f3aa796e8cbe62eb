"""EDF, EDF+, BDF and BDF+ files read in blocks with `pyedflib`. Channels
with different rates or lengths form separate groups; annotation channels
are not signals and are left out."""

from __future__ import annotations

import numpy as np

from .._deps import require
from . import RecordError, SignalGroup, group_names, record_name


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
            rates = [float(r.getSampleFrequency(i)) for i in range(n_sig)]
            lengths = [int(n) for n in r.getNSamples()[:n_sig]]
            keys = list(dict.fromkeys(zip(rates, lengths)))
            self._members = [[i for i in range(n_sig) if (rates[i], lengths[i]) == k] for k in keys]
            names = group_names([k[0] for k in keys])
            self.groups = tuple(
                SignalGroup(
                    name=names[g],
                    sampling_rate=keys[g][0],
                    channels=tuple(r.getLabel(i).strip() for i in idx),
                    units=tuple(r.getPhysicalDimension(i).strip() for i in idx),
                    adc_step=tuple(self._step(i) for i in idx),
                    source_bits=(24 if bdf else 16,) * len(idx),
                    n_samples=keys[g][1],
                )
                for g, idx in enumerate(self._members)
            )
        except RecordError:
            self.close()
            raise
        except Exception as exc:
            self.close()
            raise RecordError(self.path, f"damaged EDF/BDF header ({type(exc).__name__}: {exc})") from None

    def _step(self, i: int):
        r = self._reader
        dig = float(r.getDigitalMaximum(i)) - float(r.getDigitalMinimum(i))
        phys = float(r.getPhysicalMaximum(i)) - float(r.getPhysicalMinimum(i))
        return abs(phys / dig) if dig != 0 and phys != 0 else None

    def read(self, group: int, start: int, stop: int) -> np.ndarray:
        idx = self._members[group]
        out = np.empty((len(idx), stop - start), dtype=np.float64)
        try:
            for row, ch in enumerate(idx):
                out[row] = self._reader.readSignal(ch, start, stop - start)
        except Exception as exc:
            raise RecordError(self.path, f"cannot read samples {start} to {stop} ({type(exc).__name__}: {exc})") from None
        return out

    def close(self) -> None:
        reader, self._reader = getattr(self, "_reader", None), None
        if reader is not None:
            reader.close()
