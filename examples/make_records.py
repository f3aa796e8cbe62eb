#!/usr/bin/env python3
"""Make a small archive of WFDB and EDF/BDF records from the shared
recordings, written by the reader libraries' own writers, ready for
`vantoresk convert`:

    python examples/make_records.py records/
    vantoresk convert records/ -o archive.zarr --max-abs-error adc

Records (at their sources' own ADC steps, so the integers are the originals):
  mitdb100   MLII and V5, 360 Hz, format 212 (11-bit samples in 12-bit words),
             with a start date and time, comments and beat annotations (.atr)
  s0010_re   ii, v2, vx, 1 kHz, format 16
  03700181   MCL1 at 500 Hz (4 samples per frame) and ABP at 125 Hz, format 16
  a103l      II and PLETH, 250 Hz, format 16
  ptb24      ii and v2, 1 kHz, format 24
  abp32      ABP, 125 Hz, format 32 (steps finer than float32 can hold)
  icu        a multi-segment record as the ICU databases lay them out: a
             layout header (II, V, ABP), a segment without V, a gap, a
             segment with all three
  eegmat     Fz, Cz, O1 at 500 Hz as EDF+ (16-bit), and as BDF+ (24-bit),
             both with annotations

Without the shared folder (found by data_folder.py: $VANTORESK_DATA, or
`../shared/data` beside the checkout), every signal is cut from the ECG minute in examples/data.
Needs `pip install vantoresk[archive]` (wfdb and pyedflib).
"""

from __future__ import annotations

import argparse
import datetime as dt
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

import numpy as np

from data_folder import data_folder

HERE = Path(__file__).resolve().parent
EXAMPLE = HERE / "data" / "mitdb100_mlii_60s.npy"


def shared_folder() -> Optional[Path]:
    found = data_folder()
    return None if found.excerpts else found.path


def shared_signal(name: str, n: Optional[int] = None) -> np.ndarray:
    """The first `n` samples of a shared recording (float64), or of the
    example ECG minute, shifted per name, when the folder is absent."""
    folder = shared_folder()
    if folder is not None and (folder / f"{name}.npy").is_file():
        x = np.load(folder / f"{name}.npy")
        return x[:n].astype(np.float64)
    x = np.load(EXAMPLE).astype(np.float64)
    x = np.roll(x, 997 * (sum(map(ord, name)) % 50))
    return np.resize(x, n if n is not None else x.size)


@dataclass
class Built:
    path: Path  # what to hand the converter
    channels: list
    fs: float
    adc_step: list
    physical: list  # per channel, the samples as the library reads them back
    start: Optional[dt.datetime] = None
    annotations: Optional[dict] = None  # extension -> (sample or onset, labels)


def to_digital(x: np.ndarray, gain: float, baseline: int, bits: int) -> np.ndarray:
    lo, hi = -(1 << (bits - 1)) + 1, (1 << (bits - 1)) - 1  # the lowest value marks a missing sample
    return np.clip(np.round(x * gain + baseline), lo, hi).astype(np.int64)


def wfdb_record(folder: Path, name: str, signals: dict, *, fs: float, gain: list, baseline: list,
                fmt: str, units: list, samps_per_frame: Optional[list] = None,
                start: Optional[dt.datetime] = None, comments: Optional[list] = None) -> Built:
    """A WFDB record (format 212, 16, 80, 24 or 32) from physical signals;
    signals with several samples per frame are `samps_per_frame` times longer."""
    import wfdb

    bits = {"212": 12, "16": 16, "80": 8, "24": 24, "32": 32}[fmt]
    names = list(signals)
    digital = [to_digital(signals[k], g, b, bits) for k, g, b in zip(names, gain, baseline)]
    common = dict(fs=fs, units=units, sig_name=names, fmt=[fmt] * len(names), adc_gain=gain,
                  baseline=baseline, write_dir=str(folder), comments=comments)
    if start is not None:
        common.update(base_date=start.date(), base_time=start.time())
    if samps_per_frame is None:
        wfdb.wrsamp(name, d_signal=np.stack(digital, axis=1), **common)
    else:
        wfdb.wrsamp(name, e_d_signal=digital, samps_per_frame=samps_per_frame, **common)
    physical = [(d - b) / g for d, g, b in zip(digital, gain, baseline)]
    return Built(folder / f"{name}.hea", names, fs, [1.0 / g for g in gain], physical, start)


def beat_annotations(folder: Path, name: str, x: np.ndarray, fs: float, ext: str = "atr") -> tuple:
    """Point annotations on the largest sample of every 0.4 s of `x`,
    written with `wfdb.wrann`: 'N' beats, after a rhythm label ('+' with
    aux text) at the start."""
    import wfdb

    gap = int(0.4 * fs)
    peaks = [k * gap + int(np.argmax(x[k * gap:(k + 1) * gap])) for k in range(1, x.size // gap - 1)]
    sample = np.array([1] + peaks, dtype=np.int64)
    symbols = ["+"] + ["N"] * len(peaks)
    aux = ["(N"] + [""] * len(peaks)
    wfdb.wrann(name, ext, sample, symbol=symbols, aux_note=aux, write_dir=str(folder))
    return sample, symbols, aux


def multi_segment_record(folder: Path, name: str, seconds: float) -> Built:
    """A multi-segment record: layout header (II, V, ABP at 125 Hz), a
    segment without V, a gap of a fifth of the time, a segment with all
    three; the physical samples with NaN where nothing was recorded."""
    import wfdb

    fs = 125
    n = max(30, int(seconds * fs))
    n1, gap, n2 = n * 2 // 5, n // 5, n - n * 2 // 5 - n // 5
    gains, units = {"II": 200.0, "V": 200.0, "ABP": 10.0}, {"II": "mV", "V": "mV", "ABP": "mmHg"}
    full = {k: shared_signal(f"icu_{k}", n) for k in gains}
    full["ABP"] = 80 + 10 * full["ABP"]
    out = {k: np.full(n, np.nan) for k in gains}
    for seg, (a, b, chans) in {f"{name}_0001": (0, n1, ["II", "ABP"]),
                               f"{name}_0002": (n1 + gap, n, ["II", "V", "ABP"])}.items():
        digital = [to_digital(full[k][a:b], gains[k], 0, 16) for k in chans]
        wfdb.wrsamp(seg, fs=fs, units=[units[k] for k in chans], sig_name=chans, d_signal=np.stack(digital, 1),
                    fmt=["16"] * len(chans), adc_gain=[gains[k] for k in chans], baseline=[0] * len(chans),
                    write_dir=str(folder))
        for k, d in zip(chans, digital):
            out[k][a:b] = d / gains[k]
    (folder / f"{name}_layout.hea").write_text(f"{name}_layout 3 {fs} 0\n" + "".join(
        f"~ 16 {gains[k]:g}/{units[k]} 16 0 0 0 0 {k}\n" for k in gains))
    start = dt.datetime(2151, 3, 4, 8, 30, 0)
    (folder / f"{name}.hea").write_text(
        f"{name}/4 3 {fs} {n} {start:%H:%M:%S} {start:%d/%m/%Y}\n{name}_layout 0\n{name}_0001 {n1}\n"
        f"~ {gap}\n{name}_0002 {n2}\n")
    return Built(folder / f"{name}.hea", list(gains), fs, [1 / g for g in gains.values()], list(out.values()), start)


def edf_record(folder: Path, name: str, signals: dict, *, fs: float, units: str, bdf: bool = False,
               annotations: Optional[list] = None) -> Built:
    """An EDF+ (16-bit) or BDF+ (24-bit) file; each channel's physical range
    comes from its signal, so each has its own ADC step. `annotations` are
    (onset, duration, text) events."""
    import pyedflib
    from pyedflib import highlevel

    dmax = (1 << 23) - 1 if bdf else 32767
    headers, steps = [], []
    for label, x in signals.items():
        lo, hi = float(np.floor(x.min())) - 1.0, float(np.ceil(x.max())) + 1.0
        headers.append(highlevel.make_signal_header(label, dimension=units, sample_frequency=fs,
                                                    physical_min=lo, physical_max=hi,
                                                    digital_min=-dmax - 1, digital_max=dmax))
        steps.append((hi - lo) / (2 * dmax + 1))
    path = folder / (name + (".bdf" if bdf else ".edf"))
    ftype = pyedflib.FILETYPE_BDFPLUS if bdf else pyedflib.FILETYPE_EDFPLUS
    start = dt.datetime(2011, 5, 17, 9, 41, 12)
    header = highlevel.make_header(patientname="Subject 00", startdate=start, equipment="amplifier A",
                                   technician="tech")
    header["annotations"] = [list(a) for a in (annotations or [])]
    highlevel.write_edf(str(path), [np.asarray(x) for x in signals.values()], headers, header, file_type=ftype)
    with pyedflib.EdfReader(str(path)) as r:
        physical = [r.readSignal(i) for i in range(r.signals_in_file)]
    return Built(path, list(signals), fs, steps, physical, start, {"edf": annotations or []})


def build_archive(folder: Path, seconds: Optional[float] = None) -> dict:
    """All records above in `folder`, the first `seconds` of each (all of
    each recording when None)."""
    folder.mkdir(parents=True, exist_ok=True)

    def take(name: str, fs: float) -> np.ndarray:
        return shared_signal(name, None if seconds is None else int(fs * seconds))

    eeg = {k: take(f"eegmat_s00r1_{k.lower()}", 500) for k in ("Fz", "Cz", "O1")}
    mcl1, abp = take("mimicdb03700181_mcl1", 500), take("mimicdb03700181_abp", 125)
    frames = min(mcl1.size // 4, abp.size)
    span = 12.0 if seconds is None else seconds
    events = [(0.5, 0.0, "eyes closed"), (span / 2, 1.5, "artefact"), (span - 1.0, 0.0, "eyes open")]
    mitdb = wfdb_record(folder, "mitdb100", {
        "MLII": take("mitdb100_mlii", 360), "V5": take("mitdb100_v5", 360)},
        fs=360, gain=[200, 200], baseline=[1024, 1024], fmt="212", units=["mV", "mV"],
        start=dt.datetime(1975, 6, 23, 10, 5, 0), comments=["69 M 1085 1629 x1", "Aldomet, Inderal"])
    mitdb.annotations = {"atr": beat_annotations(folder, "mitdb100", mitdb.physical[0], 360)}
    return {
        "mitdb100": mitdb,
        "s0010_re": wfdb_record(folder, "s0010_re", {
            k: take(f"ptbdb_s0010re_{k}", 1000) for k in ("ii", "v2", "vx")},
            fs=1000, gain=[2000] * 3, baseline=[0] * 3, fmt="16", units=["mV"] * 3),
        "03700181": wfdb_record(folder, "03700181", {"MCL1": mcl1[:4 * frames], "ABP": abp[:frames]},
                                fs=125, gain=[2966, 12.83], baseline=[0, -640], fmt="16",
                                units=["mV", "mmHg"], samps_per_frame=[4, 1]),
        "a103l": wfdb_record(folder, "a103l", {
            "II": take("cinc2015_a103l_ii", 250), "PLETH": take("cinc2015_a103l_pleth", 250)},
            fs=250, gain=[7247, 12530], baseline=[0, -6265], fmt="16", units=["mV", "NU"]),
        "ptb24": wfdb_record(folder, "ptb24", {k: take(f"ptbdb_s0010re_{k}", 1000) for k in ("ii", "v2")},
                             fs=1000, gain=[200000] * 2, baseline=[0, 5], fmt="24", units=["mV"] * 2),
        "abp32": wfdb_record(folder, "abp32", {"ABP": 80 + 10 * take("mimicdb03700181_abp", 125)},
                             fs=125, gain=[1000000], baseline=[-3], fmt="32", units=["mmHg"]),
        "icu": multi_segment_record(folder, "icu", span),
        "eegmat": edf_record(folder, "eegmat", eeg, fs=500, units="uV", annotations=events),
        "eegmat_bdf": edf_record(folder, "eegmat_bdf", eeg, fs=500, units="uV", bdf=True, annotations=events),
    }


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("folder", help="where to write the records")
    p.add_argument("--seconds", type=float, help="only the first SECONDS of each recording")
    args = p.parse_args(argv)
    if shared_folder() is None:
        print("(shared recordings not found: using the example ECG minute for every signal)", file=sys.stderr)
    for name, rec in build_archive(Path(args.folder), args.seconds).items():
        n = sum(len(x) for x in rec.physical)
        print(f"{rec.path}  {len(rec.channels)} channels, {n} samples")
    return 0


if __name__ == "__main__":
    sys.exit(main())
