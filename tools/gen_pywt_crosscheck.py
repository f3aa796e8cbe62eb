#!/usr/bin/env python3
"""Writes tests/fixtures/wavelet/ortho/pywt_periodic.bin, an outside reference
for the 8-tap kernel with Wrap extension, computed once with PyWavelets in
double precision.

Alignment: PyWavelets' 'periodic' mode computes output k as the correlation
of the reversed decomposition filter ending at sample 2k + 1, i.e.
sum_i rec_lo[i] * x[(2k - 6 + i) mod n] for 8 taps: exactly our window start
2k - (L - 2) with Wrap, for odd and even n, and the same band length
floor((n + 7) / 2). ('periodization' would be a different phase: its window
starts at 2k - 3 and it keeps only ceil(n / 2) outputs.) rec_hi equals our
mirror rule g[j] = (-1)^j h[7 - j], and idwt has our output length 2a - 6.

Layout, little-endian:
    u32 case_count
    per case: u32 filter (0 = db4, 1 = sym4), then six arrays, each a u32
    length followed by the values:
      input  f32 (n)        cA f64 (a)      cD f64 (a)
      bandA  f32 (a)        bandD f32 (a)   idwt(bandA, bandD) f64 (2a - 6)

    python3 tools/gen_pywt_crosscheck.py
"""
import pathlib
import struct

import numpy as np
import pywt

ROOT = pathlib.Path(__file__).resolve().parent.parent


def arr(a, fmt):
    a = np.ascontiguousarray(a, dtype=fmt)
    return struct.pack("<I", a.size) + a.tobytes()


def main():
    rng = np.random.default_rng(20261207)
    cases = []
    for fid, name in enumerate(("db4", "sym4")):
        for n in (8, 9, 10, 33, 64, 257, 1000, 4001):
            x = rng.standard_normal(n).astype(np.float32)
            ca, cd = pywt.dwt(x.astype(np.float64), name, mode="periodic")
            a = len(ca)
            assert a == (n + 7) // 2
            band_a = rng.uniform(-2, 2, a).astype(np.float32)
            band_d = rng.uniform(-2, 2, a).astype(np.float32)
            rec = pywt.idwt(band_a.astype(np.float64), band_d.astype(np.float64), name, mode="periodic")
            assert len(rec) == 2 * a - 6
            blob = struct.pack("<I", fid)
            blob += arr(x, "<f4") + arr(ca, "<f8") + arr(cd, "<f8")
            blob += arr(band_a, "<f4") + arr(band_d, "<f4") + arr(rec, "<f8")
            cases.append(blob)
    out = ROOT / "tests" / "fixtures" / "wavelet" / "ortho" / "pywt_periodic.bin"
    out.write_bytes(struct.pack("<I", len(cases)) + b"".join(cases))


if __name__ == "__main__":
    main()
