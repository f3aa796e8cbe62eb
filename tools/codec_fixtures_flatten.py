#!/usr/bin/env python3
"""Copies the codec reference vectors into tests/fixtures/codec and writes
flat text forms of their JSON manifests that the C++ tests read without a
JSON parser, plus short excerpts of real recordings for the round-trip tests.

Usage: tools/codec_fixtures_flatten.py SOURCE_DIR DATA_DIR

  SOURCE_DIR  folder with inputs/, containers/, decoded/, manifest.json and
              malformed.json
  DATA_DIR    folder with the float32 .npy recordings

Written into tests/fixtures/codec:
  manifest.txt   one case per line, space separated:
                 case input method scale cutoff coder container decoded
                 level_count coder_byte coefficient_stream_sha256 container_sha256
  malformed.txt  one case per line: name result container_hex message_hex
                 decoded_sha256 length   ("-" where a field does not apply;
                 messages may hold control characters, hence hex)
  excerpts/*.npy 8192-sample excerpts of a few recordings
"""
import json
import pathlib
import shutil
import sys

import numpy as np

EXCERPTS = {
    "ptbdb_s0010re_ii.npy": 4096,
    "eegmat_s00r1_fz.npy": 0,
    "mimicdb03700181_abp.npy": 1000,
    "cinc2015_a103l_pleth.npy": 0,
}
EXCERPT_LENGTH = 8192


def main() -> None:
    src = pathlib.Path(sys.argv[1])
    data = pathlib.Path(sys.argv[2])
    dst = pathlib.Path(__file__).resolve().parent.parent / "tests" / "fixtures" / "codec"
    dst.mkdir(parents=True, exist_ok=True)
    for sub in ("inputs", "containers", "decoded"):
        shutil.copytree(src / sub, dst / sub, dirs_exist_ok=True)

    cases = json.loads((src / "manifest.json").read_text())
    with open(dst / "manifest.txt", "w") as out:
        for c in cases:
            fields = [c["case"], c["input"], c["method"], str(c["scale"]), c["cutoff"], c["coder"],
                      c["container"], c["decoded"], str(c["level_count"]), str(c["coder_byte"]),
                      c["coefficient_stream_sha256"], c["container_sha256"]]
            assert all(" " not in f and f for f in fields)
            out.write(" ".join(fields) + "\n")

    malformed = json.loads((src / "malformed.json").read_text())
    with open(dst / "malformed.txt", "w") as out:
        for m in malformed:
            message = m.get("message")
            fields = [m["name"], m["result"], m["container_hex"] or "-",
                      message.encode("utf-8").hex() if message else "-",
                      m.get("decoded_sha256", "-"), str(m.get("length", "-"))]
            out.write(" ".join(fields) + "\n")

    (dst / "excerpts").mkdir(exist_ok=True)
    for name, start in EXCERPTS.items():
        x = np.load(data / name).astype("<f4")
        np.save(dst / "excerpts" / name, np.ascontiguousarray(x[start:start + EXCERPT_LENGTH]))


if __name__ == "__main__":
    main()
