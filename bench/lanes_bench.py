#!/usr/bin/env python3
"""The lane codec against its peers at guaranteed errors, on real recordings.

Every recording of the shared data folder's manifest (or the excerpts in the
repository when that folder is absent) is cut into one-minute lanes of its
first five minutes. At k = 0, 1, 2, 4 and 8 ADC steps (the step is 1/gain,
or the EDF physical over digital range) and at PRDN 0.5, 1, 2 and 5 %,
side by side in one run and on the same lanes:

  vantoresk    the lane codec with max_abs_error = the bound, or exact for k = 0
               (or max_prdn)
  SZ3          pysz, absolute bound (PRDN: the largest bound that meets it,
               found by bisection for each of its predictors)
  bins+FLAC    ADC integers in bins of 2k + 1 coded by FLAC (soundfile)
  bins+pcodec  the same bins coded by pcodec

Each peer takes, lane by lane, the smallest of its settings that meets the
bound (bench/peer_lanes.py lists them). Every bound is measured twice:
strictly (every decoded value within k steps of the float32 source) and with
the allowance of k + 0.005 steps that the ADC integers need (the float32
recordings sit up to 0.002 steps off their grid, EDF most); every codec,
ours included, is given the same bound in each table.

Printed: ratio against float32 per recording and codec, largest error in
steps, PRDN, the settings the peers chose, a summary of geometric means
(over every recording, and over the WFDB ones alone), and encode/decode
speed in million samples per second (one thread, CPU time, best of
--repeats). Every decode is checked against its bound; a violation is
printed and makes the run fail. A plot goes to bench/results/lanes_bench.png
(with --png elsewhere).

The lane codec is reached through libvantoresk.so (the C interface) found
via $VANTORESK_LIB or a build folder of the checkout, else through
vantoresk_zarr.encode_lanes; the run says which.

    python bench/lanes_bench.py                     # everything
    python bench/lanes_bench.py --records mitdb100_mlii --ks 1 4 --prdn --bounds strict
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import sys
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Callable, Optional

import numpy as np

from lanes_ours import Codec, Ours, find_ours
from peer_lanes import (SZ3_SETTINGS, STEP_SLACK, Bound, bins, flac_peer, max_error, pcodec_peer, sz3_available,
                        sz3_peer, sz3_setting)

__all__ = ["bins", "main"]  # bins: the integer peers' quantiser, checked by the tests

REPO = pathlib.Path(__file__).resolve().parent.parent
KS = (0, 1, 2, 4, 8)
PRDNS = (0.5, 1.0, 2.0, 5.0)
LANE_SECONDS = 60
LANES = 5
PEERS = ("SZ3", "bins+FLAC", "bins+pcodec")
NAMES = ("vantoresk",) + PEERS


@dataclass
class Recording:
    name: str
    x: np.ndarray          # float32 samples, the first LANES minutes
    fs: float
    gain: float            # digital = round(x * gain + baseline)
    baseline: float
    wfdb: bool = True      # gain from a WFDB header (else from EDF ranges)

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
    names = {e["file"].removesuffix(".npy") for e in entries}
    unknown = sorted(set(wanted or ()) - names)
    if unknown:
        raise LookupError(f"no recording named {', '.join(unknown)} in {folder}")
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
        out.append(Recording(name, np.ascontiguousarray(x[:n], dtype=np.float32), float(e["fs_hz"]), gain, baseline,
                             "gain" in e))
    return out


# --- measurement ---------------------------------------------------------------

@dataclass
class Result:
    ratio: float = 0.0
    max_steps: float = 0.0
    prdn: float = 0.0
    enc: float = 0.0  # M samples/s
    dec: float = 0.0
    settings: Counter = field(default_factory=Counter)  # what the codec chose, lane by lane
    failures: list[str] = field(default_factory=list)


def best_time(fn, repeats: int) -> tuple[float, object]:
    """Best CPU time of the process (helper threads count) over repeats."""
    best, out = math.inf, None
    for _ in range(max(1, repeats)):
        t = time.process_time()
        out = fn()
        best = min(best, time.process_time() - t)
    return max(best, 1e-9), out


def prdn_of(x: np.ndarray, d: np.ndarray) -> float:
    x64 = x.astype(np.float64)
    den = float(np.sum((x64 - x64.mean()) ** 2))
    num = float(np.sum((x64 - d.astype(np.float64)) ** 2))
    return 100.0 * math.sqrt(num / den) if den > 0 else 0.0


def measure(rec: Recording, make: Callable[[np.ndarray], Optional[Codec]], repeats: int,
            bound: Optional[Bound] = None, max_prdn: Optional[float] = None) -> Optional[Result]:
    """The codec on every lane of rec; None when it has no setting for one of
    them (a peer that cannot meet the bound there, or is not installed)."""
    lanes = rec.lanes()
    res = Result()
    nbytes = stored = 0
    enc_t = dec_t = 0.0
    num = den = 0.0
    worst = 0.0
    name = ""
    for lane in lanes:
        codec = make(lane)
        if codec is None:
            return None
        name = codec.name
        res.settings[codec.setting] += 1
        te, blob = best_time(lambda: codec.encode(lane), repeats)
        td, out = best_time(lambda: codec.decode(blob), repeats)
        out = np.asarray(out, dtype=np.float32).reshape(lane.shape)
        enc_t += te
        dec_t += td
        nbytes += lane.nbytes
        stored += codec.size(blob)
        worst = max(worst, max_error(lane, out))
        x64 = lane.astype(np.float64)
        num += float(np.sum((x64 - out) ** 2))
        den += float(np.sum((x64 - x64.mean()) ** 2))
        if max_prdn is not None and prdn_of(lane, out) > max_prdn * (1 + 1e-9):
            res.failures.append(f"{name} on {rec.name}: PRDN {prdn_of(lane, out):.3f} % above {max_prdn} %")
    res.max_steps = worst / rec.step
    if bound is not None and worst > bound.steps * rec.step:
        res.failures.append(f"{name} on {rec.name}: error {res.max_steps:.4f} steps above {bound.steps} ({bound.label})")
    n = sum(lane.size for lane in lanes)
    res.ratio = nbytes / stored
    res.prdn = 100.0 * math.sqrt(num / den) if den > 0 else 0.0
    res.enc = n / enc_t / 1e6
    res.dec = n / dec_t / 1e6
    return res


def sz3_at_prdn(rec: Recording, lane: np.ndarray, prdn: float) -> Optional[Codec]:
    """SZ3 at the largest absolute bound (within 2 %) whose decode meets the
    PRDN, for each of its predictors; the smallest of those."""
    if not sz3_available():
        return None
    sd = float(np.std(lane.astype(np.float64))) or 1.0
    best, best_size = None, None
    for setting in SZ3_SETTINGS:
        def at(bound: float) -> Codec:
            return sz3_setting(bound, np.float32, lane.size, setting)
        lo, hi = 0.0, 4.0 * prdn / 100.0 * sd
        for _ in range(12):
            mid = (lo + hi) / 2 if lo > 0 else hi / 2
            c = at(mid)
            if prdn_of(lane, c.decode(c.encode(lane))) <= prdn:
                lo = mid
            else:
                hi = mid
            if lo > 0 and hi / lo < 1.02:
                break
        if lo == 0:
            continue
        c = at(lo)
        size = c.size(c.encode(lane))
        if best_size is None or size < best_size:
            best, best_size = c, size
    return best if best is not None else sz3_setting(hi / 1024, np.float32, lane.size)


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
        if math.isfinite(q):
            rel.append(q)
        tail = f" | {q:.3f} | {ours.max_steps:.3f} | {ours.prdn:.3f} |" if ours else " | - | - | - |"
        lines.append(f"| {rec} | " + " | ".join(cells) + tail)
    gm = {n: geomean(v) for n, v in per.items() if v and len(v) == len(rows)}  # none over a subset
    best_gm = max((gm[n] for n in peers if n in gm), default=float("nan"))
    q = f"{gm[names[0]] / best_gm:.3f}" if names[0] in gm and math.isfinite(best_gm) else "-"
    lines.append("| geometric mean | " + " | ".join(f"{gm[n]:.2f}" if n in gm else "-" for n in names)
                 + f" | {q} | | |")
    worst = f"{min(rel):.3f}" if rel else "-"
    lines.append(f"| worst recording (ours / best peer) | {worst} |" + " |" * (len(names) + 2))
    return lines + [""]


def settings_lines(rows: dict[str, dict[str, Result]], peers: list[str]) -> list[str]:
    """How many lanes each peer coded with each of its settings."""
    lines = []
    for n in peers:
        c = Counter()
        for results in rows.values():
            if n in results:
                c.update(results[n].settings)
        if c:
            lines.append(f"- {n}: " + "; ".join(f"{s} ({m})" for s, m in c.most_common()))
    return (["Settings the peers chose (lanes):", ""] + lines + [""]) if lines else []


def summary_lines(cells: dict[tuple[str, str, int], dict[str, float]], ks: list[int]) -> list[str]:
    """cells[(subset, bound label, k)][codec] = geometric mean."""
    lines = ["### Summary: geometric mean of the ratio against float32", "",
             "| recordings | bound | codec | " + " | ".join(f"k = {k}" for k in ks) + " |",
             "|---|---|---|" + "---|" * len(ks)]
    keys = sorted({(s, b) for s, b, _ in cells}, key=lambda sb: (not sb[0].startswith("all"), sb[1] != "strict"))
    for subset, label in keys:
        for n in list(NAMES) + ["ours / best peer"]:
            vals = []
            for k in ks:
                g = cells.get((subset, label, k), {})
                if n == "ours / best peer":
                    best = max((g[p] for p in PEERS if p in g), default=None)
                    vals.append(f"{g['vantoresk'] / best:.3f}" if best and "vantoresk" in g else "-")
                else:
                    vals.append(f"{g[n]:.2f}" if n in g else "-")
            lines.append(f"| {subset} | {label} | {n} | " + " | ".join(vals) + " |")
    return lines + [""]


def speed_lines(speeds: dict[str, list[tuple[float, float]]]) -> list[str]:
    lines = ["### Speed (million samples/s, one thread, CPU time, one-minute lanes, all bounds)", "",
             "| codec | encode | decode |", "|---|---|---|"]
    for n, v in speeds.items():
        lines.append(f"| {n} | {geomean([e for e, _ in v]):.1f} | {geomean([d for _, d in v]):.1f} |")
    return lines + [""]


def plot(path: pathlib.Path, gms: dict[tuple[str, str], list[tuple[int, float]]]) -> None:
    """gms[(codec, bound label)] = [(k, geometric mean)]; strict dashed."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("note: matplotlib missing, no plot", file=sys.stderr)
        return
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    colours = {n: f"C{i}" for i, n in enumerate(NAMES)}
    for (n, label), v in gms.items():
        ax.plot([k for k, _ in v], [g for _, g in v], marker="o", color=colours.get(n),
                linestyle="--" if label == "strict" else "-", label=f"{n} ({label})")
    ax.set_xlabel("bound k (ADC steps)")
    ax.set_ylabel("ratio vs float32 (geometric mean)")
    ax.set_title("One-minute lanes, every decode within its bound")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}", file=sys.stderr)


# --- run ----------------------------------------------------------------------

def run_bound(recs: list[Recording], ours: Ours, bound: Bound, repeats: int) -> dict[str, dict[str, Result]]:
    rows: dict[str, dict[str, Result]] = {}
    for rec in recs:
        limit = bound.steps * rec.step
        makers = {
            "vantoresk": lambda lane: ours.codec(max_abs_error=limit if bound.k else 0.0, n=lane.size),
            "SZ3": lambda lane: sz3_peer(rec, lane, bound),
            "bins+FLAC": lambda lane: flac_peer(rec, lane, bound),
            "bins+pcodec": lambda lane: pcodec_peer(rec, lane, bound),
        }
        results = {}
        for n, make in makers.items():
            r = measure(rec, make, repeats, bound=bound)
            if r is not None:
                results[n] = r
        rows[rec.name] = results
    return rows


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--records", nargs="*", help="recording names (default: all in the manifest)")
    ap.add_argument("--ks", nargs="*", type=int, default=list(KS), help="bounds in ADC steps")
    ap.add_argument("--bounds", nargs="*", choices=("strict", "allowance"), default=["strict", "allowance"],
                    help=f"exactly k steps, and/or k + {STEP_SLACK} steps (default both)")
    ap.add_argument("--prdn", action="store_true", help="also the PRDN targets 0.5, 1, 2, 5 %%")
    ap.add_argument("--repeats", type=int, default=2, help="timings per lane, best kept")
    ap.add_argument("--png", type=pathlib.Path, default=REPO / "bench" / "results" / "lanes_bench.png")
    args = ap.parse_args(argv)
    if any(k < 0 for k in args.ks):
        ap.error("bounds are whole ADC steps, 0 or more")

    ours: Ours = find_ours()
    print(f"vantoresk through {ours.via}", file=sys.stderr)
    try:
        recs = load_recordings(args.records)
    except LookupError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    if not recs:
        print("no recordings found", file=sys.stderr)
        return 1
    wfdb = {r.name for r in recs if r.wfdb}
    failures: list[str] = []
    speeds: dict[str, list[tuple[float, float]]] = {n: [] for n in NAMES}
    gms: dict[tuple[str, str], list[tuple[int, float]]] = {}
    cells: dict[tuple[str, str, int], dict[str, float]] = {}
    out: list[str] = []
    for strict in (True, False):
        if ("strict" if strict else "allowance") not in args.bounds:
            continue
        for k in args.ks:
            bound = Bound(k, strict)
            rows = run_bound(recs, ours, bound, args.repeats)
            for results in rows.values():
                for n, r in results.items():
                    failures += r.failures
                    speeds[n].append((r.enc, r.dec))
            peers = [n for n in PEERS if k > 0 or n != "SZ3"]
            out += table(f"k = {k} ADC steps ({bound.label}): ratio vs float32", list(NAMES), rows, peers)
            out += settings_lines(rows, peers)
            for subset, names in (("all", set(rows)), ("WFDB", wfdb)):
                if subset == "WFDB" and (not wfdb or wfdb == set(rows)):
                    continue
                g = {}
                for n in NAMES:
                    v = [rows[r][n].ratio for r in rows if r in names and n in rows[r]]
                    if len(v) == sum(1 for r in rows if r in names):  # a peer missing somewhere has no mean
                        g[n] = geomean(v)
                cells[(f"{subset} ({len(names)})", bound.label, k)] = g
                if subset == "all":
                    for n, v in g.items():
                        gms.setdefault((n, "strict" if strict else "allowance"), []).append((k, v))
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
            out += settings_lines(rows, ["SZ3"])
    out += summary_lines(cells, list(args.ks))
    out += speed_lines({n: v for n, v in speeds.items() if v})
    print("\n".join(out))
    plot(args.png, gms)
    for f in failures:
        print("BOUND BROKEN: " + f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
