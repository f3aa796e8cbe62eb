#!/usr/bin/env python3
"""How the lane peers' figures move from one way of measuring to another.

The peers' geometric means at k = 1, 2, 4, 8 ADC steps depend on choices
that are easy to make differently: which recordings enter the mean, the
dtype the integers reach pcodec in, the FLAC level, SZ3's algorithm and
input, and whether the float32 allowance is granted. This prints the
peers one choice at a time, from the plainest setting (each peer's
defaults: SZ3 on float32 at k steps, FLAC at its default level, pcodec on
int64 bins at its default level) to the strongest that bench/lanes_bench.py
uses, on the same one-minute lanes, each decode checked against its bound:

  plain                 the defaults above, every recording
  plain, WFDB only      the same mean over the recordings with a WFDB gain
  + int32 bins          pcodec given int32 integers instead of int64
  + level 8, bare       FLAC at level 8 without libsndfile's comment block
  strongest, strict     bench/peer_lanes.py's choice per lane, exactly k steps
  strongest, allowance  the same with k + 0.005 steps

    python bench/peer_reconcile.py [--records ...] [--ks 1 4]
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, Optional

import numpy as np

import lanes_bench as lb
import peer_lanes as pl
from lanes_ours import Codec


def plain(name: str, rec, lane: np.ndarray, k: int, int32: bool) -> Optional[Codec]:
    """A peer at its defaults (within k + 0.005 steps, as the integer peers need)."""
    if name == "SZ3":
        return pl.sz3_setting(k * rec.step, np.float32, lane.size, label="float32 default") \
            if pl.sz3_available() else None
    q = pl.adc_bins(rec, k)
    if name == "bins+FLAC":
        return pl.flac_setting(q, rec.fs, None, bare=False)
    import pcodec
    from pcodec import standalone
    dt = np.int32 if int32 else np.int64
    return Codec(name, lambda x: standalone.simple_compress(q.ints(x).astype(dt), pcodec.ChunkConfig()),
                 lambda b: q.values(standalone.simple_decompress(b)), len, "int32" if int32 else "int64")


def ratio(recs, k: int, make: Callable[[object, np.ndarray], Optional[Codec]], steps: float) -> Optional[float]:
    """Geometric mean over recs of the ratio against float32; None if the
    peer has no setting somewhere or breaks the bound."""
    values = []
    for rec in recs:
        raw = stored = 0
        for lane in rec.lanes():
            c = make(rec, lane)
            if c is None:
                return None
            blob = c.encode(lane)
            if pl.max_error(lane, c.decode(blob)) > steps(k) * rec.step:
                raise AssertionError(f"{c.name} ({c.setting}) on {rec.name} breaks its bound at k = {k}")
            raw += lane.nbytes
            stored += c.size(blob)
        values.append(raw / stored)
    return lb.geomean(values)


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--records", nargs="*", help="recording names (default: all in the manifest)")
    ap.add_argument("--ks", nargs="*", type=int, default=[1, 2, 4, 8], help="bounds in ADC steps (1 or more)")
    args = ap.parse_args(argv)
    if any(k < 1 for k in args.ks):
        ap.error("bounds here are 1 ADC step or more")
    try:
        recs = lb.load_recordings(args.records)
    except LookupError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    wfdb = [r for r in recs if r.wfdb]
    allowance = lambda k: k + pl.STEP_SLACK  # noqa: E731
    rows = []
    for name in lb.PEERS:
        strongest = {"SZ3": pl.sz3_peer, "bins+FLAC": pl.flac_peer, "bins+pcodec": pl.pcodec_peer}[name]
        steps = [("plain", recs, lambda r, x, k: plain(name, r, x, k, False), allowance),
                 (f"plain, WFDB only ({len(wfdb)})", wfdb, lambda r, x, k: plain(name, r, x, k, False), allowance)]
        if name == "bins+pcodec":
            steps.append((f"+ int32 bins, WFDB only ({len(wfdb)})", wfdb,
                          lambda r, x, k: plain(name, r, x, k, True), allowance))
        if name == "bins+FLAC":
            steps.append(("+ level 8, bare", recs,
                          lambda r, x, k: pl.flac_setting(pl.adc_bins(r, k), r.fs, 1.0), allowance))
        for label, strict in (("strongest, strict", True), ("strongest, allowance", False)):
            steps.append((label, recs, lambda r, x, k, s=strict: strongest(r, x, pl.Bound(k, s)),
                          (lambda k: float(k)) if strict else allowance))
        for label, subset, make, bound in steps:
            cells = []
            for k in args.ks:
                g = ratio(subset, k, lambda r, x: make(r, x, k), bound) if subset else None
                cells.append(f"{g:.2f}" if g else "-")
            rows.append(f"| {name} | {label} | " + " | ".join(cells) + " |")
    print(f"| peer | measured as ({len(recs)} recordings) | " + " | ".join(f"k = {k}" for k in args.ks) + " |")
    print("|---|---|" + "---|" * len(args.ks))
    print("\n".join(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
