#!/usr/bin/env python3
"""What one flipped bit does to a stored recording: a bare container against
a lane frame (which ends in a CRC-32).

    python bench/bit_flips.py [--seconds 60] [--step 1]

Compresses the first SECONDS of mitdb100_mlii (as examples/data_folder.py
finds it) at default settings with each coder, flips every STEP-th bit of the
result one at a time and decodes each damaged copy. Each flip ends one of
three ways: refused (the decoder raises ValueError), silent (decodes, to
different samples) or harmless (decodes to the very same samples, e.g. a
flip in a reserved header byte). Silent flips are the dangerous kind: the
data changed and nothing said so.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np

import vantoresk as v

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from data_folder import data_folder  # noqa: E402

FS_HZ = 360


def outcomes(blob: bytes, decode, reference: np.ndarray, step: int) -> dict:
    counts = {"refused": 0, "silent": 0, "harmless": 0}
    damaged = bytearray(blob)
    for bit in range(0, 8 * len(blob), step):
        damaged[bit >> 3] ^= 1 << (bit & 7)
        try:
            y = decode(bytes(damaged))
        except ValueError:
            counts["refused"] += 1
        else:
            same = y.shape == reference.shape and np.array_equal(y.view(np.uint32), reference.view(np.uint32))
            counts["harmless" if same else "silent"] += 1
        damaged[bit >> 3] ^= 1 << (bit & 7)
    return counts


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--step", type=int, default=1, help="flip every STEP-th bit (default: all)")
    args = ap.parse_args(argv)
    folder = data_folder(announce=True)
    name = "mitdb100_mlii_60s.npy" if folder.excerpts else "mitdb100_mlii.npy"
    x = np.ascontiguousarray(np.load(folder.path / name)[: int(args.seconds * FS_HZ)], dtype=np.float32)

    from vantoresk_zarr import decode_lanes, encode_lanes

    print(f"{name}: {x.size} samples; every {args.step}. bit flipped once")
    print(f"{'stored as':<22} {'bytes':>7} {'flips':>7} {'refused':>8} {'silent':>8} {'harmless':>9}")
    for coder in ("arans", "deflate"):
        container = v.compress_signal(x, v.VantrCompressionOptions(coder=coder))
        frame = encode_lanes(x, coder=coder)
        for label, blob, decode in ((f"container, {coder}", container, v.decompress_signal),
                                    (f"lane frame, {coder}", frame, decode_lanes)):
            reference = decode(blob)
            c = outcomes(blob, decode, reference, args.step)
            total = sum(c.values())
            print(f"{label:<22} {len(blob):>7} {total:>7} "
                  + " ".join(f"{100 * c[k] / total:>7.1f}%" for k in ("refused", "silent"))
                  + f" {100 * c['harmless'] / total:>8.1f}%")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
