"""Helpers for the viewer tests: a small converted store with a beat
annotation table in the archive layout, and reference min/max computations
from decoded samples."""

from __future__ import annotations

import datetime as dt
import sys
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "examples"))

from make_records import shared_signal, wfdb_record  # noqa: E402

START = "1989-05-17T10:20:30"


def build_store(folder: Path) -> Path:
    """Two records converted at their ADC steps in 10 s chunks: `ecg` (two
    channels at 360 Hz, 3 minutes, beat annotations, a start time) and
    `mixed` (500 Hz and 125 Hz arrays, no start time)."""
    import zarr

    from vantoresk_archive import ConvertOptions, convert_archive

    src = folder / "records"
    src.mkdir()
    fs, n = 360, 360 * 180
    wfdb_record(src, "ecg", {"MLII": shared_signal("mitdb100_mlii", n), "V5": shared_signal("mitdb100_v5", n)},
                fs=fs, gain=[200, 200], baseline=[1024, 1024], fmt="212", units=["mV", "mV"],
                start=dt.datetime.fromisoformat(START), comments=[])
    mcl1, abp = shared_signal("mimicdb03700181_mcl1", 4 * 125 * 60), shared_signal("mimicdb03700181_abp", 125 * 60)
    wfdb_record(src, "mixed", {"MCL1": mcl1, "ABP": abp}, fs=125, gain=[2966.0, 12.83], baseline=[0, -640],
                fmt="16", units=["mV", "mmHg"], samps_per_frame=[4, 1], comments=[])
    store = folder / "archive.zarr"
    result = convert_archive([str(src)], str(store), ConvertOptions(max_abs_error="adc", chunk_seconds=10))
    assert not result.failed, result.failed
    group = zarr.open_group(str(store / "ecg"), mode="r+", use_consolidated=False)
    beats = np.arange(0.4, 179.0, 0.8)
    labels = np.where(np.arange(beats.size) % 10 == 7, 1, 0).astype(np.int32)
    add_annotations(group, "atr", beats, labels, ["N", "V"])
    add_annotations(group, "note", np.array([60.0]), np.array([0], np.int32), ["(AFIB"], durations=[20.0])
    from vantoresk_archive import layout

    layout.update_index(str(store), ["ecg"])
    return store


def add_annotations(group, annotator: str, onsets, labels, names, durations=None) -> None:
    """An annotation table in the archive layout under `annotations/`."""
    n = len(onsets)
    g = group.require_group("annotations").create_group(annotator)
    g.attrs.update({"labels": list(names), "aux_values": []})
    cols = {
        "onset": np.asarray(onsets, np.float64),
        "duration": np.zeros(n) if durations is None else np.asarray(durations, np.float64),
        "sample": np.round(np.asarray(onsets) * 360).astype(np.int64),
        "label": np.asarray(labels, np.int32), "aux": np.full(n, -1, np.int32),
        "subtype": np.zeros(n, np.int16), "chan": np.zeros(n, np.int16),
    }
    for k, v in cols.items():
        g.create_array(k, shape=v.shape, dtype=v.dtype)[...] = v


def block_reference(x: np.ndarray, block: int) -> tuple:
    """Per channel, NaN-skipping min and max of consecutive blocks."""
    c, n = x.shape
    nb = -(-n // block)
    pad = np.full((c, nb * block), np.nan)
    pad[:, :n] = x
    v = pad.reshape(c, nb, block)
    with np.errstate(all="ignore"):
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return np.nanmin(v, axis=2), np.nanmax(v, axis=2)
