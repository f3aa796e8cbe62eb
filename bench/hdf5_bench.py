"""Writing HDF5 datasets: the vantoresk filter run by h5py (one thread) against
write_parallel on 1, 2, ... threads, with HDF5's own gzip (+shuffle) beside
them in the same run.

    python bench/hdf5_bench.py [--channels 8] [--reps 3] [--workers 1,2,4]

The recording is MIT-BIH record 100 (both leads, 30 minutes, from
$VANTORESK_DATA or ../shared/data beside the checkout, else the one-minute
excerpt in examples/data), repeated to `channels` (channel, time) rows of
float32 mV, chunked one channel by 65536 samples, and written as float32
with the ADC step (0.005 mV) as max_abs_error, and as int16 ADC counts with
max_abs_error 0 (exact). Each row reports the best wall time of `reps`
writes (file closed, so everything is on disk), million samples per second,
how many cores the writer kept busy (process CPU time over wall time), the
ratio against the raw samples and the read-back speed through h5py and
through read_parallel on the most threads asked for.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import tempfile
import time

import h5py
import numpy as np

import vantoresk_hdf5
from vantoresk_hdf5 import VantoreskFilter, read_parallel, write_parallel

HERE = pathlib.Path(__file__).resolve().parent
STEP = 0.005
CHUNK = 65536


def load(channels: int) -> tuple[np.ndarray, str]:
    folders = [os.environ.get("VANTORESK_DATA", "")] + [str(p / "shared" / "data") for p in HERE.parents]
    for folder in folders:
        if folder and (pathlib.Path(folder) / "mitdb100_mlii.npy").is_file():
            leads = [np.load(pathlib.Path(folder) / n) for n in ("mitdb100_mlii.npy", "mitdb100_v5.npy")]
            break
    else:
        folder = str(HERE.parent / "examples" / "data")
        leads = [np.load(pathlib.Path(folder) / n) for n in ("mitdb100_mlii_60s.npy", "mitdb100_v5_60s.npy")]
    # Rows beyond the two leads are the leads shifted in time, so no two rows are equal.
    rows = [np.roll(leads[i % 2], 997 * (i // 2)) for i in range(channels)]
    return np.ascontiguousarray(np.stack(rows)), folder


def timed_write(path: str, data: np.ndarray, kwargs: dict, workers: int | None,
                reps: int) -> tuple[float, float, int]:
    """Best wall time, the process CPU time of that run, and the file's size."""
    best, cpu, size = float("inf"), 0.0, 0
    chunks = (1, min(CHUNK, data.shape[1]))
    for _ in range(reps):
        start, start_cpu = time.perf_counter(), time.process_time()
        with h5py.File(path, "w") as f:
            if workers is None:
                f.create_dataset("x", data=data, chunks=chunks, **kwargs)
            else:
                d = f.create_dataset("x", shape=data.shape, dtype=data.dtype, chunks=chunks, **kwargs)
                write_parallel(d, data, workers=workers)
        wall = time.perf_counter() - start
        if wall < best:
            best, cpu = wall, time.process_time() - start_cpu
        size = os.path.getsize(path)
    return best, cpu, size


def timed_read(path: str, reps: int, workers: int | None = None) -> float:
    """Best wall time reading the dataset back: through h5py, or with read_parallel on `workers` threads."""
    best = float("inf")
    for _ in range(reps):
        start = time.perf_counter()
        with h5py.File(path, "r") as f:
            f["x"][...] if workers is None else read_parallel(f["x"], workers=workers)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--channels", type=int, default=8)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--workers", default=f"1,2,{os.cpu_count() or 1}")
    args = ap.parse_args()
    workers = sorted({int(w) for w in args.workers.split(",")})
    mv, source = load(args.channels)
    counts = np.round(mv / STEP).astype(np.int16)
    print(f"source: {source}; {mv.shape[0]} x {mv.shape[1]} samples, chunks (1, {CHUNK}), "
          f"{os.cpu_count()} CPUs, h5py {h5py.__version__} (HDF5 {h5py.version.hdf5_version})")
    # "cores": process CPU time over wall time while writing (how many cores the writer kept busy).
    print(f"{'data':<22} {'writer':<28} {'write s':>8} {'cores':>6} {'MS/s':>7} {'ratio':>6} {'read MS/s':>10} "
          f"{f'read_parallel x{workers[-1]}':>18}")
    folder = tempfile.mkdtemp(prefix="vantoresk-hdf5-bench-")
    path = os.path.join(folder, "bench.h5")
    for label, data, filt in [("float32 mV, 1 step", mv, VantoreskFilter(max_abs_error=STEP)),
                              ("int16 counts, exact", counts, VantoreskFilter(max_abs_error=0))]:
        rows = [("gzip 4 + shuffle (h5py)", dict(compression="gzip", compression_opts=4, shuffle=True), None),
                ("vantoresk filter (h5py)", dict(filt), None)]
        rows += [(f"vantoresk write_parallel x{w}", dict(filt), w) for w in workers]
        for name, kwargs, w in rows:
            seconds, cpu, size = timed_write(path, data, kwargs, w, args.reps)
            read = timed_read(path, args.reps)
            par = timed_read(path, args.reps, workers[-1]) if "vantoresk" in name else float("nan")
            print(f"{label:<22} {name:<28} {seconds:8.3f} {cpu / seconds:6.2f} {data.size / seconds / 1e6:7.1f} "
                  f"{data.nbytes / size:6.2f} {data.size / read / 1e6:10.1f} {data.size / par / 1e6:18.1f}")
    os.remove(path)
    os.rmdir(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
