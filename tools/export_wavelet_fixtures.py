#!/usr/bin/env python3
"""Copies the reference bands into tests/fixtures/wavelet/, so the C++ tests
run without the shared folder and without an npz reader: CDF 5/3 and CDF 9/7 into
lifting/, db4 and sym4 (border mode Wrap) into ortho/.

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
cases.txt lists one case a line: "<name> <method> <n> <levels>" in lifting/,
"<name> <n> <levels>" in ortho/.

    python3 tools/export_wavelet_fixtures.py [FOLDER]

FOLDER defaults to shared/fixtures/wavelet beside the checkout.
"""
import json
import pathlib
import struct
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
# directory: (methods, whether cases.txt names the method)
GROUPS = {
    "lifting": (("cdf53", "cdf97"), True),
    "ortho": (("db4", "sym4"), False),
}


def pack(arrays):
    blob = bytearray(struct.pack("<I", len(arrays)))
    for a in arrays:
        a = np.ascontiguousarray(a, dtype="<f4")
        blob += struct.pack("<I", a.size) + a.tobytes()
    return bytes(blob)


def export(src, manifest, directory, methods, with_method):
    out = ROOT / "tests" / "fixtures" / "wavelet" / directory
    out.mkdir(parents=True, exist_ok=True)
    lines = []
    for case in manifest:
        if case["method"] not in methods:
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
        method = f" {case['method']}" if with_method else ""
        lines.append(f"{case['name']}{method} {case['n']} {case['levels']}")
    (out / "cases.txt").write_text("\n".join(lines) + "\n")


def main():
    beside = pathlib.Path(__file__).resolve().parents[2] / "shared" / "fixtures" / "wavelet"
    src = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else beside
    manifest = json.loads((src / "manifest.json").read_text())
    for directory, (methods, with_method) in GROUPS.items():
        export(src, manifest, directory, methods, with_method)


if __name__ == "__main__":
    main()
