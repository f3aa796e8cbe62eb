#!/usr/bin/env python3
"""Recordings in 1-minute chunks through the vantoresk codec: size, error and speed.

For each recording, with `max_abs_error` equal to its ADC step (or --steps multiples of it), prints the
stored size against float32, the achieved largest error and PRDN over the
whole record, and write/read speed (million samples per CPU second, best of
--repeat runs) for:

  direct, fixed   compress_signal/decompress_signal per chunk at one scale
  direct, target  compress_to_target per chunk (the scale search), decompress_signal
  lanes, target   encode_lanes/decode_lanes per chunk (adds the frame and non-finite scan)
  zarr v3, fixed  a Zarr v3 array in memory, serializer at the same fixed scale
  zarr v3, target the same with the target
  zarr v2, target a Zarr v2 array through the numcodecs codec

The fixed scale is the one the target search picked most often, so the rows
compare like with like. Speeds are ratios within one run: the machine is
shared. Needs `pip install vantoresk[zarr]` and the full recordings: --data-dir,
else the folder examples/data_folder.py finds ($VANTORESK_DATA, or
../shared/data beside the checkout).
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import sys
import time

import numpy as np
import zarr

from vantoresk import VantrCompressionOptions, compress_signal, decompress_signal
from vantoresk_zarr import VantoreskCodec, VantoreskZarrCodec, compress_to_target, decode_lanes, encode_lanes
from vantoresk_zarr.vocabulary import prdn

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from data_folder import data_folder  # noqa: E402

RECORDS = {  # name: (sampling rate in Hz, ADC step in the recording's units)
    "mitdb100_mlii": (360, 0.005),
    "eegmat_s00r1_fz": (500, 0.0019),
}


def best_time(fn, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        t0 = time.process_time()  # CPU time of all threads: steadier than wall time on a shared machine
        out = fn()
        best = min(best, time.process_time() - t0)
    return best, out


def chunks_of(x, n):
    return [np.ascontiguousarray(x[i : i + n]) for i in range(0, x.size, n)]


def zarr_rows(x, chunk, fmt, codec_args, repeat):
    def make():
        store = zarr.storage.MemoryStore()
        common = dict(store=store, shape=x.shape, chunks=(chunk,), dtype="float32", fill_value=0.0)
        if fmt == 2:
            return zarr.create_array(compressors=VantoreskCodec(**codec_args), zarr_format=2, **common), store
        return zarr.create_array(serializer=VantoreskZarrCodec(**codec_args), compressors=None, **common), store

    def write():
        arr, store = make()
        arr[:] = x
        return arr, store

    t_w, (arr, store) = best_time(write, repeat)
    t_r, y = best_time(lambda: arr[:], repeat)
    size = sum(len(v.to_bytes()) for k, v in store._store_dict.items() if "json" not in k and "zarr" not in k[-6:])
    return size, y, t_w, t_r


def bench(name, x, fs, step, repeat):
    chunk = 60 * fs
    parts = chunks_of(x, chunk)
    rows = []

    t_w, picked = best_time(lambda: [compress_to_target(p, max_abs_error=step) for p in parts], repeat)
    scales = collections.Counter(r.scale for r in picked)
    fixed = max(scales, key=lambda s: (scales[s], s or 0)) or 12  # None: a chunk kept exactly
    # Chunks no scale can hold to the target are kept as float32 (counted at their full size).
    blobs = [r.container if not r.lossless else p for r, p in zip(picked, parts)]
    t_r, ys = best_time(lambda: [decompress_signal(b) if isinstance(b, bytes) else b for b in blobs], repeat)
    size = sum(len(b) if isinstance(b, bytes) else b.nbytes for b in blobs)
    rows.append(("direct, target", size, np.concatenate(ys), t_w, t_r))

    opts = VantrCompressionOptions(scale=fixed)
    t_w, blobs = best_time(lambda: [compress_signal(p, opts) for p in parts], repeat)
    t_r, ys = best_time(lambda: [decompress_signal(b) for b in blobs], repeat)
    rows.insert(0, ("direct, fixed", sum(map(len, blobs)), np.concatenate(ys), t_w, t_r))

    t_w, frames = best_time(lambda: [encode_lanes(p, max_abs_error=step) for p in parts], repeat)
    t_r, ys = best_time(lambda: [decode_lanes(f) for f in frames], repeat)
    rows.append(("lanes, target", sum(map(len, frames)), np.concatenate(ys), t_w, t_r))

    for label, fmt, args in (("zarr v3, fixed", 3, dict(scale=fixed)), ("zarr v3, target", 3, dict(max_abs_error=step)),
                             ("zarr v2, target", 2, dict(max_abs_error=step))):
        size, y, t_w, t_r = zarr_rows(x, chunk, fmt, args, repeat)
        rows.append((label, size, y, t_w, t_r))

    print(f"\n{name}: {x.size} samples, {len(parts)} chunks of {chunk}, max_abs_error {step:g}, "
          f"scales picked {dict(sorted(scales.items(), key=str))}, fixed rows at scale {fixed}")
    print(f"{'path':<16} {'bytes':>9} {'vs f32':>7} {'max err':>9} {'err/tgt':>8} {'PRDN %':>7} "
          f"{'write MS/cpu-s':>14} {'read MS/cpu-s':>13}")
    for label, size, y, t_w, t_r in rows:
        err = float(np.max(np.abs(y.astype(np.float64) - x)))
        print(f"{label:<16} {size:>9} {x.nbytes / size:>6.2f}x {err:>9.5f} {err / step:>8.3f} {prdn(x, y):>7.3f} "
              f"{x.size / t_w / 1e6:>14.2f} {x.size / t_r / 1e6:>13.2f}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data-dir", help="folder of the recordings (default: found as described above)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--steps", type=float, nargs="+", default=[1.0],
                    help="targets as multiples of the ADC step (default: 1)")
    args = ap.parse_args(argv)
    if args.data_dir:
        data = pathlib.Path(args.data_dir)
    else:
        folder = data_folder(needs=f"{list(RECORDS)[-1]}.npy", announce=True)
        if folder.excerpts:
            print("error: the full recordings are not here: set VANTORESK_DATA or give --data-dir", file=sys.stderr)
            return 1
        data = folder.path
    for name, (fs, step) in RECORDS.items():
        for multiple in args.steps:
            bench(name, np.load(data / f"{name}.npy"), fs, step * multiple, args.repeat)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
