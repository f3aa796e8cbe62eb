"""SHA-256 of every frame bench/lanes_frames writes for the shared recordings.

Usage: python bench/lanes_frame_hashes.py BUILD_DIR [hashes.txt]
Runs BUILD_DIR/bench/lanes_frames (or BUILD_DIR/lanes_frames) on every
recording of the manifest, prints the encode speed per target and writes one
"sha256  frame" line per frame; with a second argument that already exists,
compares against it instead and exits 1 on the first difference.
"""

import hashlib
import json
import os
import pathlib
import subprocess
import sys
import tempfile


def data_folder():
    named = os.environ.get("VANTORESK_DATA")
    if named:
        return pathlib.Path(named)
    return pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    build = pathlib.Path(argv[1])
    tool = next((p for p in (build / "bench" / "lanes_frames", build / "lanes_frames") if p.exists()), None)
    if tool is None:
        print(f"no lanes_frames under {build}", file=sys.stderr)
        return 2
    folder = data_folder()
    manifest = json.loads((folder / "manifest.json").read_text())
    lines = []
    with tempfile.TemporaryDirectory() as out:
        for rec in manifest:
            if "gain" in rec:
                gain = float(rec["gain"])
            else:  # EDF: digital range over physical range
                (plo, phi), (dlo, dhi) = rec["edf_phys_range"], rec["edf_dig_range"]
                gain = (dhi - dlo) / (phi - plo)
            run = subprocess.run([str(tool), rec["file"], repr(float(rec["fs_hz"])), repr(gain), out],
                                 env={**os.environ, "VANTORESK_DATA": str(folder)},
                                 capture_output=True, text=True)
            if run.returncode != 0:
                print(run.stderr.strip(), file=sys.stderr)
                return 1
            print(run.stdout, end="")
        for f in sorted(pathlib.Path(out).iterdir()):
            lines.append(f"{hashlib.sha256(f.read_bytes()).hexdigest()}  {f.name}")
    text = "\n".join(lines) + "\n"
    if len(argv) > 2 and pathlib.Path(argv[2]).exists():
        old = pathlib.Path(argv[2]).read_text()
        if old != text:
            a, b = old.splitlines(), text.splitlines()
            diff = [f"{x} -> {y}" for x, y in zip(a, b) if x != y][:10]
            print(f"frames differ ({len(a)} before, {len(b)} now):", *diff, sep="\n", file=sys.stderr)
            return 1
        print(f"all {len(lines)} frames identical")
        return 0
    if len(argv) > 2:
        pathlib.Path(argv[2]).write_text(text)
    print(f"{len(lines)} frames hashed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
