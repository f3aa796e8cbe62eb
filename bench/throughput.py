"""Whole-call speed from Python: 1 against 2 threads, and samples per second.

    python bench/throughput.py [recording.npy] [--calls 8] [--reps 3]

Runs `calls` compress (then decompress) calls of one recording at default
settings on one thread and on two threads (the calls are shared out), in the
same run, and reports wall-time throughput in million samples/s for each
coder, the two-thread speed-up, the single-thread figure against the
speed we aim for, and the minor page faults per call (fresh pages touched:
each costs about as much as decoding a few hundred samples). Default recording: mitdb100_mlii from
the folder examples/data_folder.py finds ($VANTORESK_DATA, ../shared/data
beside the checkout), else the excerpt in examples/data.
"""
from __future__ import annotations

import argparse
import os
import resource
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import vantoresk as v

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
from data_folder import data_folder  # noqa: E402


# Single-thread speeds we aim for, million samples/s, on mitdb100_mlii at
# default settings.
TARGETS = {("arans", "compress"): 35, ("arans", "decompress"): 45,
           ("deflate", "compress"): 20, ("deflate", "decompress"): 250}


def faults_per_call(call, calls: int) -> float:
    """Minor page faults of this process per call, over `calls` calls."""
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        call()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / calls


def best_wall(run, reps: int) -> tuple[float, float]:
    """Best wall time of `reps` runs, and the process CPU time of that run."""
    best = (float("inf"), 0.0)
    for _ in range(reps):
        t0, c0 = time.perf_counter(), time.process_time()
        run()
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
        best = min(best, (wall, cpu))
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description="Whole-call throughput, 1 against 2 threads.")
    parser.add_argument("recording", nargs="?")
    parser.add_argument("--calls", type=int, default=8)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    if args.recording:
        path = args.recording
    else:
        folder = data_folder(announce=True)
        path = str(folder.path / ("mitdb100_mlii_60s.npy" if folder.excerpts else "mitdb100_mlii.npy"))
    x = np.load(path).astype(np.float32)
    n = x.size
    print(f"{os.path.basename(path)}: {n} samples, {args.calls} calls per measurement, best of {args.reps}")
    for coder in ("arans", "deflate"):
        o = v.VantrCompressionOptions(coder=coder)
        c = v.compress_signal(x, o)
        for name, call in (("compress", lambda: v.compress_signal(x, o)), ("decompress", lambda: v.decompress_signal(c))):
            # Both measurements run on pool threads: glibc gives the main
            # thread and other threads different heaps, which return freed
            # memory to the system differently, so a main-thread run would
            # compare allocators as well as thread counts.
            with ThreadPoolExecutor(1) as pool:
                one, cpu1 = best_wall(lambda: list(pool.map(lambda _: call(), range(args.calls))), args.reps)
            with ThreadPoolExecutor(2) as pool:
                two, cpu2 = best_wall(lambda: list(pool.map(lambda _: call(), range(args.calls))), args.reps)
            rate1 = args.calls * n / one / 1e6
            rate2 = args.calls * n / two / 1e6
            # Cores busy on average (CPU time over wall time): on a shared
            # machine the speed-up cannot exceed what the second thread got.
            faults = faults_per_call(call, args.calls)
            print(f"{coder:<8} {name:<10} 1 thread {rate1:7.1f} MS/s ({cpu1 / one:.2f} cores, "
                  f"target {TARGETS[(coder, name)]})   "
                  f"2 threads {rate2:7.1f} MS/s ({cpu2 / two:.2f} cores)   x{one / two:.2f}   "
                  f"{faults:.0f} page faults per call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
