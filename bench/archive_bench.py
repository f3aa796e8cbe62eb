#!/usr/bin/env python3
"""Archive conversion speed, serial against a local Dask cluster, and the
peak memory of converting the longest record.

    python bench/archive_bench.py [--seconds S] [--workers 2] [--target adc]

Builds the WFDB/EDF/BDF archive of examples/make_records.py (whole
recordings by default) in a temporary folder, converts it serially and on
N local worker processes, checks both stores hold the same bytes, and
converts the longest record alone in a fresh process to measure its peak
resident memory. Speeds are samples (all channels) per second of wall time;
compare them within one run, the machine is shared.
"""

from __future__ import annotations

import argparse
import filecmp
import json
import logging
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))

PEAK = """
import json, sys, time

def hwm():  # peak resident set of this process (ru_maxrss would include the parent's, from before exec)
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

from vantoresk_archive import ConvertOptions, convert_archive
import vantoresk_archive.record, vantoresk_zarr.zarr3_codec, zarr, wfdb, pyedflib, numpy  # in the baseline
before = hwm()
t = time.perf_counter()
r = convert_archive([sys.argv[1]], sys.argv[2], ConvertOptions(**json.loads(sys.argv[3])))
after = hwm()
print(json.dumps({"before_kib": before, "after_kib": after, "samples": r.samples,
                  "seconds": time.perf_counter() - t, "failed": [x.reason for x in r.failed]}))
"""


def cpu_seconds() -> float:
    t = os.times()
    return t.user + t.system


def workers_cpu(client) -> float:
    return sum(client.run(cpu_seconds).values())


def peak_memory(src: Path, store: Path, options: dict) -> dict:
    """Convert one record in a fresh process; its resident-set peaks."""
    out = subprocess.run([sys.executable, "-c", PEAK, str(src), str(store), json.dumps(options)],
                         capture_output=True, text=True, check=True)
    result = json.loads(out.stdout)
    assert not result["failed"], result["failed"]
    return result


def same_stores(a: Path, b: Path) -> bool:
    fa = sorted(p.relative_to(a) for p in a.rglob("*") if p.is_file())
    fb = sorted(p.relative_to(b) for p in b.rglob("*") if p.is_file())
    return fa == fb and all(filecmp.cmp(a / f, b / f, shallow=False) for f in fa)


def main() -> int:
    from make_records import build_archive

    from vantoresk_archive import ConvertOptions, convert_archive

    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, help="only the first SECONDS of each recording")
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--repeat", type=int, default=3, help="runs of each, best kept (default 3)")
    p.add_argument("--target", default="adc", help="max abs error: 'adc' or a number (default adc)")
    p.add_argument("--long-hours", type=float, default=0.0,
                   help="also measure peak memory on a 2-channel WFDB record this many hours long")
    args = p.parse_args()
    target = args.target if args.target == "adc" else float(args.target)
    options = ConvertOptions(max_abs_error=target)

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        built = build_archive(tmp / "records", args.seconds)
        longest = max(built.values(), key=lambda b: sum(len(x) for x in b.physical))

        from distributed import LocalCluster

        # Alternate serial and Dask runs and keep each one's best: the
        # machine is shared, and its load drifts between runs.
        t_serial = t_dask = float("inf")
        t = time.perf_counter()
        import dask

        # As `--workers` does it: no statistical profiler in the workers.
        with dask.config.set({"distributed.worker.profile.enabled": False}), \
                LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                             dashboard_address=None, silence_logs=logging.ERROR) as cluster:
            t_start = time.perf_counter() - t
            from distributed import Client

            client = Client(cluster)
            cpu_serial = cpu_dask = float("inf")
            for k in range(args.repeat):
                c0, t = cpu_seconds(), time.perf_counter()
                serial = convert_archive([str(tmp / "records")], str(tmp / f"serial{k}.zarr"), options)
                t_serial = min(t_serial, time.perf_counter() - t)
                cpu_serial = min(cpu_serial, cpu_seconds() - c0)
                assert not serial.failed, [r.reason for r in serial.failed]
                c0, w0, t = cpu_seconds(), workers_cpu(client), time.perf_counter()
                dask = convert_archive([str(tmp / "records")], str(tmp / f"dask{k}.zarr"), options,
                                       scheduler=cluster.scheduler_address)
                t_dask = min(t_dask, time.perf_counter() - t)
                cpu_dask = min(cpu_dask, cpu_seconds() - c0 + workers_cpu(client) - w0)
                assert not dask.failed, [r.reason for r in dask.failed]
            client.close()
        n = serial.samples
        t = time.perf_counter()
        convert_archive([str(tmp / "records")], str(tmp / "dask_cold.zarr"), options, workers=args.workers)
        t_dask_cold = time.perf_counter() - t

        peak = peak_memory(longest.path, tmp / "peak.zarr", {"max_abs_error": target})
        if args.long_hours > 0:
            import numpy as np

            from make_records import wfdb_record

            mitdb = built["mitdb100"]
            n_long = int(args.long_hours * 3600 * mitdb.fs)
            (tmp / "long").mkdir()
            long_rec = wfdb_record(tmp / "long", "long", {
                name: np.resize(x, n_long) for name, x in zip(mitdb.channels, mitdb.physical)},
                fs=mitdb.fs, gain=[200, 200], baseline=[1024, 1024], fmt="212", units=["mV", "mV"])
            del long_rec.physical
            long_path = long_rec.path
            long_peak = peak_memory(long_path, tmp / "long.zarr", {"max_abs_error": target})

        stored = sum(c.bytes for c in serial.channels)
        print(f"archive: {len(serial.records)} records, {n} samples, {stored} bytes stored "
              f"({4 * n / stored:.2f}x against float32), target max abs error {args.target}")
        print(f"serial (best of {args.repeat}):    {t_serial:7.2f} s  {n / t_serial / 1e6:6.3f} M samples/s")
        print(f"{args.workers} Dask workers (best): {t_dask:7.2f} s  {n / t_dask / 1e6:6.3f} M samples/s  "
              f"({t_serial / t_dask:.2f}x serial; cluster started beforehand in {t_start:.1f} s)")
        print(f"{args.workers} Dask workers, cold: {t_dask_cold:7.2f} s  {n / t_dask_cold / 1e6:6.3f} M samples/s  "
              f"({t_serial / t_dask_cold:.2f}x serial; --workers {args.workers}, cluster start included)")
        print(f"CPU time (best): serial {cpu_serial:.2f} s, Dask client and workers {cpu_dask:.2f} s; "
              f"wall times depend on what else the machine runs")
        print(f"same store bytes serial and Dask: {same_stores(tmp / 'serial0.zarr', tmp / 'dask0.zarr')}")
        src_mib = sum(x.size for x in longest.physical) * 8 / 2**20
        print(f"longest record {longest.path.name}: {peak['samples']} samples ({src_mib:.1f} MiB as float64), "
              f"peak RSS {peak['after_kib'] / 1024:.1f} MiB, {peak['before_kib'] / 1024:.1f} MiB after imports "
              f"(+{(peak['after_kib'] - peak['before_kib']) / 1024:.1f} MiB converting), "
              f"{peak['samples'] / peak['seconds'] / 1e6:.3f} M samples/s")
        if args.long_hours > 0:
            print(f"{args.long_hours:g} h of mitdb100 repeated, WFDB format 212: {long_peak['samples']} samples "
                  f"({long_peak['samples'] * 4 / 2**20:.0f} MiB as float32), peak RSS {long_peak['after_kib'] / 1024:.1f} MiB, "
                  f"{long_peak['before_kib'] / 1024:.1f} MiB after imports, "
                  f"{long_peak['samples'] / long_peak['seconds'] / 1e6:.3f} M samples/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
