"""Peak memory of one compress or decompress call, measured in a fresh process.

The child builds its input, notes its resident size, makes the one call and
reports VmHWM (from /proc/self/status) minus that resident size, as a
multiple of the float32 bytes of the signal. ru_maxrss is of no use here: it
carries the parent's peak across fork and exec.

    python bench/peak_memory.py [--samples N] [--methods cdf97 cdf53 db4 sym4]

Also importable: measure(kind, samples, coder, method=...) -> dict with the
peak and the ratio, used by the tests.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import json, sys
    import numpy as np
    import vantoresk as v

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError(field + " missing")

    kind, n, coder, method = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    # An ECG-like signal built in place, so that building it leaves no peak.
    x = np.arange(n if not kind.startswith("hostile") else 10000, dtype=np.float32)
    x *= np.float32(2 * np.pi / 360)
    np.sin(x, out=x)
    x[::7] += np.float32(0.25)
    options = v.VantrCompressionOptions(method, 11, "low", coder)
    # One small call first, so that faulting in code and the allocator's
    # first arenas does not count.
    v.decompress_signal(v.compress_signal(x[:5000].copy(), options))
    if kind == "decompress":
        data = v.compress_signal(x, options)
        del x
        arg = data
    elif kind == "hostile-arans":
        # A flat signal of 2^20 samples (a tiny rANS payload of zero codes)
        # behind a header that claims n samples.
        head = bytearray(v.compress_signal(np.zeros(1 << 20, np.float32), options))
        head[16:20] = n.to_bytes(4, "little")
        arg = bytes(head)
    elif kind == "hostile":
        # A DEFLATE payload of zeros behind a header that claims n samples.
        import zlib
        c = zlib.compressobj(6, zlib.DEFLATED, -15)
        payload = c.compress(bytes(1 << 20)) + c.flush()
        head = bytearray(v.compress_signal(np.zeros(100, np.float32), options)[:52])
        head[14] = 0
        head[16:20] = n.to_bytes(4, "little")
        head[32:36] = len(payload).to_bytes(4, "little")
        arg = bytes(head) + payload
    else:
        arg = x
    try:
        # Reset the high-water mark where the kernel allows it.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    base = status("VmRSS")
    try:
        if kind == "compress":
            out = v.compress_signal(arg, options)
        else:
            out = v.decompress_signal(arg)
        error = None
    except ValueError as e:
        error = str(e)
    peak = status("VmHWM") - base
    print(json.dumps({"peak": peak, "error": error}))
    """
)


def measure(kind: str, samples: int, coder: str = "arans", python: str = sys.executable,
            method: str = "cdf97") -> dict:
    """Peak bytes above the loaded input for one call, and the ratio to 4 * samples."""
    # A fixed mmap threshold: large blocks are then always mapped afresh and
    # returned on release, so that memory freed by building the input is not
    # silently reused (and left out of the count) by the call measured.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072")
    out = subprocess.run(
        [python, "-c", CHILD, kind, str(samples), coder, method], check=True, capture_output=True, text=True, env=env
    ).stdout
    result = json.loads(out)
    result["ratio"] = result["peak"] / (4 * samples)
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=20_000_000)
    parser.add_argument("--methods", nargs="+", default=["cdf97"], choices=["cdf97", "cdf53", "db4", "sym4"])
    args = parser.parse_args()
    for method in args.methods:
        for coder in ("arans", "deflate"):
            for kind in ("compress", "decompress"):
                r = measure(kind, args.samples, coder, method=method)
                print(f"{method:<6} {kind:<10} {coder:<8} peak {r['peak'] / 2**20:8.1f} MiB"
                      f"  = {r['ratio']:.2f} x float32 input")
    r = measure("hostile", 1 << 29, "deflate")
    print(f"hostile DEFLATE container claiming 2^29 samples: peak {r['peak'] / 2**20:.1f} MiB "
          f"({r['peak'] / (2 * (1 << 29)):.3f} of its layout's code bytes); {r['error']}")
    r = measure("hostile-arans", 1 << 29, "arans")
    print(f"hostile rANS container (2^20 zero codes) claiming 2^29 samples: peak {r['peak'] / 2**20:.1f} MiB; "
          f"{r['error']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
