#!/usr/bin/env python3
"""Compare vantoresk with other compressors on real recordings.

On the same float32 input, in one run: vantoresk (every wavelet, both
coders, scales 6-12), zfp (fixed accuracy), SZ3 (absolute error bound), a
plain PyWavelets + int16 + zlib pipeline, and the lossless pcodec, FLAC on
the recording's integer ADC samples and blosc2 with zstd. Each lossy
compressor is swept over its error knob; its curve is read at PRDN 0.5, 1,
2 and 5 % (interpolated between the settings around each target). Printed:
a Markdown table per record with the ratio against float32 at each target,
and the maximum error and compress/decompress speed (million samples/s,
one thread, best of a few repeats) at one target. Optionally a CSV of every
point and a PNG of ratio against PRDN.

Peers come with `pip install vantoresk[bench]`; a missing one is skipped
with a message. Recordings are read from the shared data folder next to the
checkout (or --data-dir, or $VANTORESK_DATA; examples/data_folder.py);
without it, from the example data inside the repository.

    python bench/peers.py --records mitdb100_mlii eegmat_s00r1_fz --png peers.png
    python bench/peers.py --quick
"""

from __future__ import annotations

import argparse
import datetime
import json
import pathlib
import platform
import sys
from typing import Optional, Sequence

import numpy as np

from peer_codecs import PEERS, Family, MissingPeer, NotApplicable, Record, vantoresk_families
from peer_metrics import CLOCKS, Point, measure
from peer_report import draw_png, markdown_table, write_csv

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "examples"))
from data_folder import data_folder  # noqa: E402

EXAMPLE_DATA = REPO / "examples" / "data"
DEFAULT_RECORDS = ("mitdb100_mlii", "eegmat_s00r1_fz")
QUICK_SAMPLES = 30000
# Records without a manifest entry: the example excerpt (see examples/data/README.md).
KNOWN_RECORDS = {"mitdb100_mlii_60s": {"gain": 200.0, "baseline": 1024, "fs_hz": 360.0, "units": "mV"}}


def find_data_dir(given: Optional[str]) -> tuple[pathlib.Path, bool]:
    """The recordings folder and whether it is the in-repository fallback."""
    if given:
        return pathlib.Path(given), False
    found = data_folder(needs="manifest.json", root=REPO)
    return (EXAMPLE_DATA, True) if found.excerpts else (found.path, False)


def adc_grid(entry: dict) -> tuple[Optional[float], float]:
    """(gain, baseline) with physical = (digital - baseline) / gain, from a
    manifest entry: WFDB gives both, EDF its physical and digital ranges."""
    if "gain" in entry:
        return float(entry["gain"]), float(entry.get("baseline", 0))
    if "edf_phys_range" in entry and "edf_dig_range" in entry:
        (pmin, pmax), (dmin, dmax) = entry["edf_phys_range"], entry["edf_dig_range"]
        gain = (dmax - dmin) / (pmax - pmin)
        return gain, dmin - pmin * gain
    return None, 0.0


def load_record(data_dir: pathlib.Path, name: str, max_samples: Optional[int]) -> Record:
    path = data_dir / f"{name}.npy"
    signal = np.load(path)
    if signal.ndim != 1:
        raise ValueError(f"{path}: expected a 1-D array, found shape {signal.shape}")
    if max_samples:
        signal = signal[:max_samples]
    signal = np.ascontiguousarray(signal, dtype=np.float32)
    meta = dict(KNOWN_RECORDS.get(name, {}))
    manifest = data_dir / "manifest.json"
    if manifest.is_file():
        for entry in json.loads(manifest.read_text()):
            if entry.get("file") == path.name:
                meta = entry
    gain, baseline = adc_grid(meta)
    return Record(name, signal, meta.get("fs_hz"), gain, baseline, meta.get("units", ""))


def families_for(rec: Record, peers: Sequence[str], quick: bool, skipped: set[str]) -> list[Family]:
    families = vantoresk_families(quick)
    for peer in peers:
        try:
            families.append(PEERS[peer](rec, 6 if quick else 16))
        except (MissingPeer, NotApplicable) as exc:
            message = str(exc)
            if message not in skipped:  # say it once per run
                skipped.add(message)
                print(message, file=sys.stderr)
    return families


def run_record(rec: Record, families: Sequence[Family], repeats: int, clock: str) -> tuple[list[Point], int]:
    """Every setting's point, and the number of failures (a setting that
    raised, a family that wrote into its input). Each is reported; none
    stops the others."""
    chatty = sys.stderr.isatty()
    points, failures = [], 0
    # Every family must see the same samples: check none wrote into them.
    pristine = rec.signal.copy()
    for family in families:
        if chatty:
            print(f"  {rec.name}: {family.name}", file=sys.stderr)
        for setting in family.settings:
            try:
                points.append(measure(family, setting, rec.signal, repeats, clock))
            except Exception as exc:  # a peer's own error type: report it, keep going
                failures += 1
                print(f"error: {rec.name}: {family.name} {setting.label} failed: "
                      f"{type(exc).__name__}: {exc}", file=sys.stderr)
        if not np.array_equal(rec.signal.view(np.uint32), pristine.view(np.uint32)):
            failures += 1
            print(f"error: {rec.name}: {family.name} modified its input; restored for the others",
                  file=sys.stderr)
            rec.signal[:] = pristine
    return points, failures


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Compression ratio at equal PRDN, maximum error and speed: vantoresk against "
                    "zfp, SZ3, pcodec, FLAC, blosc2 and a plain wavelet + zlib pipeline.")
    parser.add_argument("--records", nargs="+", metavar="NAME",
                        help=f"recordings (file names without .npy; default: {' '.join(DEFAULT_RECORDS)}, "
                             "or the example excerpt when the shared data is absent)")
    parser.add_argument("--data-dir", help="folder of float32 .npy recordings (default: the shared data folder)")
    parser.add_argument("--peers", default=",".join(PEERS),
                        help=f"comma-separated peers to run (default: {','.join(PEERS)})")
    parser.add_argument("--repeats", type=int, help="timing repeats, best taken (default 5, 1 with --quick)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: process CPU time, all threads (default; robust on a busy machine); "
                             "wall: elapsed time")
    parser.add_argument("--max-samples", type=int, help="use only the first N samples of each record")
    parser.add_argument("--detail-prdn", type=float, default=1.0,
                        help="PRDN (%%) at which maximum error and speeds are shown (default 1)")
    parser.add_argument("--quick", action="store_true",
                        help=f"smoke run: scales 6/8/10/12, short sweeps, one repeat, "
                             f"at most {QUICK_SAMPLES} samples")
    parser.add_argument("--csv", type=pathlib.Path, help="write every measured and interpolated point here")
    parser.add_argument("--png", type=pathlib.Path, help="draw ratio against PRDN here (needs matplotlib)")
    args = parser.parse_args(argv)
    args.peers = [p.strip() for p in args.peers.split(",") if p.strip()]
    unknown = [p for p in args.peers if p not in PEERS]
    if unknown:
        parser.error(f"unknown peer(s) {', '.join(unknown)}; choose from {', '.join(PEERS)}")
    for name in ("repeats", "max_samples"):
        value = getattr(args, name)
        if value is not None and value < 1:
            parser.error(f"--{name.replace('_', '-')} must be at least 1")
    if not args.detail_prdn > 0:
        parser.error("--detail-prdn must be positive")
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    try:
        import vantoresk  # noqa: F401
    except ImportError:
        print("error: the vantoresk module is not installed (pip install .[bench] from the repository)",
              file=sys.stderr)
        return 1
    data_dir, fallback = find_data_dir(args.data_dir)
    records = args.records or (["mitdb100_mlii_60s"] if fallback else list(DEFAULT_RECORDS))
    if fallback:
        print(f"shared recordings not found: using the example data in {data_dir}", file=sys.stderr)
    repeats = args.repeats or (1 if args.quick else 5)
    limit = args.max_samples or (QUICK_SAMPLES if args.quick else None)

    skipped: set[str] = set()
    failures = 0
    by_record: dict[str, list[Point]] = {}
    titles: dict[str, str] = {}
    today = datetime.date.today().isoformat()
    for name in records:
        try:
            rec = load_record(data_dir, name, limit)
        except (OSError, ValueError) as exc:
            print(f"error: cannot read record {name}: {exc}", file=sys.stderr)
            return 1
        if rec.signal.size == 0:
            print(f"error: record {name} has no samples", file=sys.stderr)
            return 1
        points, failed = run_record(rec, families_for(rec, args.peers, args.quick, skipped), repeats, args.clock)
        failures += failed
        by_record[name] = points
        rate = f" at {rec.fs_hz:g} Hz" if rec.fs_hz else ""
        units = f", errors in {rec.units}" if rec.units else ""
        titles[name] = f"{name}: {rec.signal.size} samples{rate}"
        print(f"### {name}\n\n{rec.signal.size} samples{rate}{units}; measured {today} on "
              f"{platform.machine()}, one thread, best of {repeats} ({args.clock} time).\n")
        print(markdown_table(points, args.detail_prdn))
        print()
        sys.stdout.flush()
    try:
        if args.csv:
            write_csv(args.csv, by_record)
        if args.png:
            draw_png(args.png, by_record, titles)
    except ImportError:
        print("plot skipped: package 'matplotlib' is not installed "
              "(pip install matplotlib, or pip install vantoresk[bench])", file=sys.stderr)
    except OSError as exc:
        print(f"error: cannot write results: {exc}", file=sys.stderr)
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
