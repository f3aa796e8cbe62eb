#!/usr/bin/env python3
"""The lane codec against its peers at guaranteed errors, on real recordings.

Every recording of the shared data folder's manifest (or the excerpts in the
repository when that folder is absent) is cut into one-minute lanes of its
first five minutes. At k = 0, 1, 2, 4 and 8 ADC steps (the step is 1/gain,
or the EDF physical over digital range) and at PRDN 0.5, 1, 2 and 5 %,
side by side in one run and on the same lanes:

  vantoresk    the lane codec with max_abs_error = (k + 0.005) * step, or
               exact for k = 0 (or max_prdn)
  SZ3          pysz with the absolute bound k * step (PRDN: the largest
               bound that meets it, found by bisection)
  bins+FLAC    the ADC integers in bins of 2k + 1, y = floor((v + k) / (2k + 1)),
               coded by FLAC (soundfile); decoded as y * (2k + 1)
  bins+pcodec  the same bins coded by pcodec (default settings)

The recordings are float32 values up to 0.002 steps off their ADC grid
(EDF), so every codec is held to k + 0.005 steps: the peers that rebuild
values from the integers need that much, and the lane codec is given the
same allowance (without it, two float32 values k steps apart can lie a
rounding further apart than k * step, and the lane codec, which checks its
bound strictly, falls back to narrower bins).

Printed: ratio against float32 per recording and codec, largest error in
steps, PRDN, and encode/decode speed in million samples per second (one
thread, best of --repeats). Every decode is checked against its bound; a
violation is printed and makes the run fail. A plot goes to
bench/results/lanes_bench.png (with --png elsewhere).

The lane codec is reached through vantoresk_zarr.encode_lanes when that is
the compiled codec, else through libvantoresk.so (the C interface) found via
$VANTORESK_LIB or a build folder of the checkout; the run says which.

    python bench/lanes_bench.py                     # everything
    python bench/lanes_bench.py --records mitdb100_mlii --ks 1 4 --prdn
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import pathlib
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Optional

import numpy as np

from lanes_ours import Codec, Ours, find_ours

REPO = pathlib.Path(__file__).resolve().parent.parent
KS = (0, 1, 2, 4, 8)
PRDNS = (0.5, 1.0, 2.0, 5.0)
LANE_SECONDS = 60
LANES = 5
STEP_SLACK = 0.005


@dataclass
class Recording:
    name: str
    x: np.ndarray          # float32 samples, the first LANES minutes
    fs: float
    gain: float            # digital = round(x * gain + baseline)
    baseline: float

    @property
    def step(self) -> float:
        return 1.0 / self.gain

    def lanes(self) -> list[np.ndarray]:
        n = int(round(self.fs * LANE_SECONDS))
        return [self.x[i:i + n] for i in range(0, self.x.size, n)]

    def codes(self, lane: np.ndarray) -> np.ndarray:
        return np.rint(lane.astype(np.float64) * self.gain + self.baseline).astype(np.int64)

    def values(self, codes: np.ndarray) -> np.ndarray:
        return ((codes.astype(np.float64) - self.baseline) / self.gain).astype(np.float32)


def find_data() -> tuple[pathlib.Path, bool]:
    """The recordings folder, and whether it is the in-repository fallback."""
    for c in (os.environ.get("VANTORESK_DATA", ""), os.environ.get("VANTORESK_DATA_DIR", ""),
              REPO.parent / "shared" / "data", REPO.parent.parent / "shared" / "data"):
        if c and (pathlib.Path(c) / "manifest.json").is_file():
            return pathlib.Path(c), False
    return REPO / "examples" / "data", True


def load_recordings(wanted: Optional[list[str]]) -> list[Recording]:
    folder, fallback = find_data()
    if fallback:
        print(f"note: no shared data folder found; using the excerpts in {folder}", file=sys.stderr)
        entries = [{"file": "mitdb100_mlii_60s.npy", "fs_hz": 360.0, "gain": 200.0, "baseline": 1024},
                   {"file": "mitdb100_v5_60s.npy", "fs_hz": 360.0, "gain": 200.0, "baseline": 1024}]
    else:
        entries = json.loads((folder / "manifest.json").read_text())
    out = []
    for e in entries:
        name = e["file"].removesuffix(".npy")
        if wanted and name not in wanted:
            continue
        if "gain" in e:
            gain, baseline = float(e["gain"]), float(e["baseline"])
        else:  # EDF: physical = (digital - dmin) * (pmax - pmin) / (dmax - dmin) + pmin
            (pmin, pmax), (dmin, dmax) = e["edf_phys_range"], e["edf_dig_range"]
            gain = (dmax - dmin) / (pmax - pmin)
            baseline = dmin - pmin * gain
        x = np.load(folder / e["file"])
        n = int(round(float(e["fs_hz"]) * LANE_SECONDS * LANES))
        out.append(Recording(name, np.ascontiguousarray(x[:n], dtype=np.float32), float(e["fs_hz"]), gain, baseline))
    return out


# --- peers -------------------------------------------------------------------

def bins(codes: np.ndarray, k: int) -> np.ndarray:
    return np.floor_divide(codes + k, 2 * k + 1)


def sz3_codec(bound: float, n: int) -> Optional[Codec]:
    try:
        import pysz
    except ImportError:
        return None
    sz, cfg_type, mode = pysz.sz, pysz.szConfig, pysz.szErrorBoundMode

    def encode(x: np.ndarray):
        cfg = cfg_type()
        cfg.errorBoundMode = mode.ABS
        cfg.absErrorBound = bound
        return sz.compress(x, cfg)[0]

    return Codec("SZ3", encode, lambda blob: sz.decompress(blob, np.float32, (n,))[0], lambda b: b.nbytes)


def flac_codec(rec: Recording, k: int, fs: float) -> Optional[Codec]:
    try:
        import soundfile
    except ImportError:
        return None

    def encode(x: np.ndarray):
        y = bins(rec.codes(x), k)
        wide = y.size and (y.min() < -32768 or y.max() > 32767)
        buf = io.BytesIO()
        soundfile.write(buf, y.astype(np.int32 if wide else np.int16), int(fs),
                        subtype="PCM_24" if wide else "PCM_16", format="FLAC")
        return buf.getvalue(), wide

    def decode(blob):
        data, wide = blob
        y = soundfile.read(io.BytesIO(data), dtype="int32" if wide else "int16")[0]
        return rec.values(y.astype(np.int64) * (2 * k + 1))

    return Codec("bins+FLAC", encode, decode, lambda b: len(b[0]))


def pcodec_codec(rec: Recording, k: int) -> Optional[Codec]:
    try:
        import pcodec
        from pcodec import standalone
    except ImportError:
        return None
    config = pcodec.ChunkConfig()
    return Codec("bins+pcodec",
                 lambda x: standalone.simple_compress(bins(rec.codes(x), k), config),
                 lambda blob: rec.values(standalone.simple_decompress(blob) * (2 * k + 1)))


# --- measurement ---------------------------------------------------------------

@dataclass
class Result:
    ratio: float = 0.0
    max_steps: float = 0.0
    prdn: float = 0.0
    enc: float = 0.0  # M samples/s
    dec: float = 0.0
    failures: list[str] = field(default_factory=list)


def best_time(fn, repeats: int) -> tuple[float, object]:
    best, out = math.inf, None
    for _ in range(repeats):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def prdn_of(x: np.ndarray, d: np.ndarray) -> float:
    x64 = x.astype(np.float64)
    den = float(np.sum((x64 - x64.mean()) ** 2))
    num = float(np.sum((x64 - d.astype(np.float64)) ** 2))
    return 100.0 * math.sqrt(num / den) if den > 0 else 0.0


def measure(rec: Recording, make: Callable[[np.ndarray], Optional[Codec]], repeats: int,
            max_steps: Optional[float] = None, max_prdn: Optional[float] = None) -> Optional[Result]:
    lanes = rec.lanes()
    res = Result()
    nbytes = stored = 0
    enc_t = dec_t = 0.0
    num = den = 0.0
    for lane in lanes:
        codec = make(lane)
        if codec is None:
            return None
        te, blob = best_time(lambda: codec.encode(lane), repeats)
        td, out = best_time(lambda: codec.decode(blob), repeats)
        out = np.asarray(out, dtype=np.float32).reshape(lane.shape)
        enc_t += te
        dec_t += td
        nbytes += lane.nbytes
        stored += codec.size(blob)
        err = np.abs(out.astype(np.float64) - lane.astype(np.float64)) / rec.step
        res.max_steps = max(res.max_steps, float(err.max()) if err.size else 0.0)
        x64 = lane.astype(np.float64)
        num += float(np.sum((x64 - out) ** 2))
        den += float(np.sum((x64 - x64.mean()) ** 2))
        if max_prdn is not None and prdn_of(lane, out) > max_prdn * (1 + 1e-9):
            res.failures.append(f"{codec.name} on {rec.name}: PRDN {prdn_of(lane, out):.3f} % above {max_prdn} %")
    # The float32 recordings sit up to 0.002 steps off their ADC grid (EDF),
    # so codecs that rebuild values from the integers are allowed that much.
    if max_steps is not None and res.max_steps > max_steps + STEP_SLACK:
        res.failures.append(f"{codec.name} on {rec.name}: error {res.max_steps:.3f} steps above {max_steps}")
    n = sum(lane.size for lane in lanes)
    res.ratio = nbytes / stored
    res.prdn = 100.0 * math.sqrt(num / den) if den > 0 else 0.0
    res.enc = n / enc_t / 1e6
    res.dec = n / dec_t / 1e6
    return res


def sz3_at_prdn(rec: Recording, lane: np.ndarray, prdn: float) -> Optional[Codec]:
    """SZ3 with the largest absolute bound (within 2 %) whose decode meets the PRDN."""
    if sz3_codec(1.0, lane.size) is None:
        return None
    sd = float(np.std(lane.astype(np.float64))) or 1.0
    lo, hi = 0.0, 4.0 * prdn / 100.0 * sd
    for _ in range(12):
        mid = (lo + hi) / 2 if lo > 0 else hi / 2
        c = sz3_codec(mid, lane.size)
        if prdn_of(lane, c.decode(c.encode(lane))) <= prdn:
            lo = mid
        else:
            hi = mid
        if lo > 0 and hi / lo < 1.02:
            break
    return sz3_codec(lo if lo > 0 else hi / 1024, lane.size)


# --- report -------------------------------------------------------------------

def geomean(values: list[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def table(title: str, names: list[str], rows: dict[str, dict[str, Result]], peers: list[str]) -> list[str]:
    lines = [f"### {title}", "",
             "| recording | " + " | ".join(names) + " | ours / best peer | max error (steps) | PRDN % |",
             "|---|" + "---|" * (len(names) + 3)]
    per = {n: [] for n in names}
    rel = []
    for rec, results in rows.items():
        cells, best = [], 0.0
        for n in names:
            r = results.get(n)
            cells.append(f"{r.ratio:.2f}" if r else "-")
            if r:
                per[n].append(r.ratio)
                if n in peers:
                    best = max(best, r.ratio)
        ours = results.get(names[0])
        q = ours.ratio / best if ours and best else float("nan")
        rel.append(q)
        lines.append(f"| {rec} | " + " | ".join(cells) + f" | {q:.3f} | "
                     f"{ours.max_steps:.2f} | {ours.prdn:.3f} |" if ours else " | - | - | - |")
    gm = {n: geomean(v) for n, v in per.items() if v}
    best_gm = max((gm[n] for n in peers if n in gm), default=float("nan"))
    lines.append("| geometric mean | " + " | ".join(f"{gm.get(n, float('nan')):.2f}" for n in names)
                 + f" | {gm.get(names[0], float('nan')) / best_gm:.3f} | | |")
    lines.append(f"| worst recording (ours / best peer) | {min(rel):.3f} |" + " |" * (len(names) + 2))
    return lines + [""]


def speed_lines(speeds: dict[str, list[tuple[float, float]]]) -> list[str]:
    lines = ["### Speed (million samples/s, one thread, one-minute lanes, all bounds)", "",
             "| codec | encode | decode |", "|---|---|---|"]
    for n, v in speeds.items():
        lines.append(f"| {n} | {geomean([e for e, _ in v]):.1f} | {geomean([d for _, d in v]):.1f} |")
    return lines + [""]


def plot(path: pathlib.Path, gms: dict[str, list[tuple[int, float]]]) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("note: matplotlib missing, no plot", file=sys.stderr)
        return
    fig, ax = plt.subplots(figsize=(6, 4))
    for n, v in gms.items():
        ax.plot([k for k, _ in v], [g for _, g in v], marker="o", label=n)
    ax.set_xlabel("bound k (ADC steps)")
    ax.set_ylabel("ratio vs float32 (geometric mean)")
    ax.set_title("One-minute lanes, every decode within its bound")
    ax.grid(alpha=0.3)
    ax.legend()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}", file=sys.stderr)


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--records", nargs="*", help="recording names (default: all in the manifest)")
    ap.add_argument("--ks", nargs="*", type=int, default=list(KS), help="bounds in ADC steps")
    ap.add_argument("--prdn", action="store_true", help="also the PRDN targets 0.5, 1, 2, 5 %%")
    ap.add_argument("--repeats", type=int, default=2, help="timings per lane, best kept")
    ap.add_argument("--png", type=pathlib.Path, default=REPO / "bench" / "results" / "lanes_bench.png")
    args = ap.parse_args(argv)

    ours: Ours = find_ours()
    print(f"vantoresk through {ours.via}", file=sys.stderr)
    recs = load_recordings(args.records)
    if not recs:
        print("no recordings found", file=sys.stderr)
        return 1
    names = ["vantoresk", "SZ3", "bins+FLAC", "bins+pcodec"]
    failures: list[str] = []
    speeds: dict[str, list[tuple[float, float]]] = {n: [] for n in names}
    gms: dict[str, list[tuple[int, float]]] = {n: [] for n in names}
    out: list[str] = []
    for k in args.ks:
        rows: dict[str, dict[str, Result]] = {}
        for rec in recs:
            results: dict[str, Result] = {}
            makers = {
                "vantoresk": lambda lane: ours.codec(max_abs_error=(k + STEP_SLACK) * rec.step if k else 0.0,
                                                     n=lane.size),
                "SZ3": lambda lane: sz3_codec(k * rec.step, lane.size) if k > 0 else None,
                "bins+FLAC": lambda lane: flac_codec(rec, k, rec.fs),
                "bins+pcodec": lambda lane: pcodec_codec(rec, k),
            }
            for n, make in makers.items():
                r = measure(rec, make, args.repeats, max_steps=float(k))
                if r is not None:
                    results[n] = r
                    failures += r.failures
                    speeds[n].append((r.enc, r.dec))
            rows[rec.name] = results
        peers = [n for n in names[1:] if k > 0 or n != "SZ3"]
        out += table(f"k = {k} ADC steps: ratio vs float32", names, rows, peers)
        for n in names:
            v = [rows[r][n].ratio for r in rows if n in rows[r]]
            if v:
                gms[n].append((k, geomean(v)))
    if args.prdn:
        for p in PRDNS:
            rows = {}
            for rec in recs:
                results = {}
                for n, make in {"vantoresk": lambda lane: ours.codec(max_prdn=p, n=lane.size),
                                "SZ3": lambda lane: sz3_at_prdn(rec, lane, p)}.items():
                    r = measure(rec, make, 1, max_prdn=p)
                    if r is not None:
                        results[n] = r
                        failures += r.failures
                rows[rec.name] = results
            out += table(f"PRDN {p} %: ratio vs float32", ["vantoresk", "SZ3"], rows, ["SZ3"])
    out += speed_lines({n: v for n, v in speeds.items() if v})
    print("\n".join(out))
    plot(args.png, {n: v for n, v in gms.items() if v})
    for f in failures:
        print("BOUND BROKEN: " + f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
