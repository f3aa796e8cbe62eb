#!/usr/bin/env python3
"""Writes flat text forms of tests/fixtures/arans/manifest.json that the C++
tests read without a JSON parser, in the same one-record-per-line form as the
codec fixtures (tools/codec_fixtures_flatten.py).

Usage: tools/arans_fixtures_flatten.py

Written into tests/fixtures/arans:
  streams.txt  one stream per line: name input stream length
  planes.txt   one coded plane per line: context_bits plane_hex coded_hex
"""
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
DIR = ROOT / "tests" / "fixtures" / "arans"


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        return 0
    manifest = json.loads((DIR / "manifest.json").read_text())
    streams = [f"{s['name']} {s['input']} {s['stream']} {s['length']}\n" for s in manifest["streams"]]
    planes = [f"{p['context_bits']} {p['plane_hex']} {p['coded_hex']}\n" for p in manifest["planes"]]
    (DIR / "streams.txt").write_text("".join(streams))
    (DIR / "planes.txt").write_text("".join(planes))
    return 0


if __name__ == "__main__":
    sys.exit(main())
