#!/usr/bin/env python3
"""Copies the CDF 5/3 and CDF 9/7 reference bands into
tests/fixtures/wavelet/lifting/, so the C++ tests run without /work/shared
and without an npz reader. (The db4/sym4 bands are exported in the same
format by export_ortho_fixtures.py into tests/fixtures/wavelet/ortho/.)

Each case becomes one little-endian file <name>.bin:

    u32 array_count
    array_count times: u32 length, then length float32 values (IEEE 754
                       binary32, little-endian, bit patterns preserved)
    arrays, in order: input,
                      level1 approximations, level1 details,
                      ...,
                      levelL approximations, levelL details,
                      reconstruction (multi_idwt of the bands, untrimmed)

Level 1 is the finest level (the transform of the input itself). The file
cases.txt lists one case a line: "<name> <method> <n> <levels>".

    python3 tools/export_wavelet_fixtures.py [/work/shared/fixtures/wavelet]
"""
import json
import pathlib
import struct
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
METHODS = ("cdf53", "cdf97")


def pack(arrays):
    blob = bytearray(struct.pack("<I", len(arrays)))
    for a in arrays:
        a = np.ascontiguousarray(a, dtype="<f4")
        blob += struct.pack("<I", a.size) + a.tobytes()
    return bytes(blob)


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "/work/shared/fixtures/wavelet")
    out = ROOT / "tests" / "fixtures" / "wavelet" / "lifting"
    out.mkdir(parents=True, exist_ok=True)
    manifest = json.loads((src / "manifest.json").read_text())
    lines = []
    for case in manifest:
        if case["method"] not in METHODS:
            continue
        z = np.load(src / "bands" / case["file"])
        arrays = [z["input"]]
        for level in range(1, case["levels"] + 1):
            arrays.append(z[f"level{level}_approximations"])
            arrays.append(z[f"level{level}_details"])
        arrays.append(z["reconstruction"])
        if any(a.dtype != np.float32 for a in arrays):
            raise SystemExit(f"{case['name']}: expected float32 arrays")
        (out / f"{case['name']}.bin").write_bytes(pack(arrays))
        lines.append(f"{case['name']} {case['method']} {case['n']} {case['levels']}")
    (out / "cases.txt").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
