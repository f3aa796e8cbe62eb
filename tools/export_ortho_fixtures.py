#!/usr/bin/env python3
"""Copies the db4/sym4 reference bands into tests/fixtures/wavelet/ortho/.

Each case becomes one little-endian file <name>.bin so the C++ tests need no
NumPy reader:

    u32 array_count
    array_count times: u32 length, then length float32 values
    arrays: input, level1 approximations, level1 details, ..., levelL
            approximations, levelL details, reconstruction (untrimmed)

plus cases.txt, one line per case: "<name> <n> <levels>".

    python3 tools/export_ortho_fixtures.py [/work/shared/fixtures/wavelet]
"""
import json
import pathlib
import struct
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "/work/shared/fixtures/wavelet")
    out = ROOT / "tests" / "fixtures" / "wavelet" / "ortho"
    out.mkdir(parents=True, exist_ok=True)
    manifest = json.loads((src / "manifest.json").read_text())
    lines = []
    for case in manifest:
        if case["method"] not in ("db4", "sym4"):
            continue
        z = np.load(src / "bands" / case["file"])
        arrays = [z["input"]]
        for level in range(1, case["levels"] + 1):
            arrays.append(z[f"level{level}_approximations"])
            arrays.append(z[f"level{level}_details"])
        arrays.append(z["reconstruction"])
        blob = bytearray(struct.pack("<I", len(arrays)))
        for a in arrays:
            a = np.ascontiguousarray(a, dtype="<f4")
            blob += struct.pack("<I", a.size) + a.tobytes()
        (out / f"{case['name']}.bin").write_bytes(bytes(blob))
        lines.append(f"{case['name']} {case['n']} {case['levels']}")
    (out / "cases.txt").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
