#!/usr/bin/env python3
"""Compress one minute of a real ECG with every wavelet at a few scales.

Prints, per setting: the container size, the compression ratio against
float32 storage and against the recording's own 11-bit ADC samples, the
distortion (PRD, PRDN, largest error) and the compression and decompression
speed. With matplotlib installed it also draws original against
reconstruction into examples/demo.png.

Run from anywhere once the module is installed (tools/demo.sh does it all).
"""

import argparse
import pathlib
import sys
import time

import numpy as np

import vantoresk
from vantoresk import VantrCompressionOptions, compress_signal, decompress_signal
from vantoresk_zarr import vocabulary
from vantoresk_zarr.vocabulary import prdn  # PRD with the mean removed: an offset cannot flatter it

HERE = pathlib.Path(__file__).resolve().parent
RECORDING = HERE / "data" / "mitdb100_mlii_60s.npy"
FS_HZ = 360.0
ADC_BITS = 11  # MIT-BIH stores 11-bit samples; the ECG literature counts ratios against them
ADC_STEP_MV = 0.005

METHODS = sorted(vocabulary.METHODS)
SCALES = [6, 8, 10, 12]


def prd(x, y):
    """Percentage root-mean-square difference against the raw signal."""
    return 100.0 * np.sqrt(np.sum((x - y) ** 2) / np.sum(x**2))


def best_time(fn, repeats):
    best = float("inf")
    result = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def measure(signal, options, repeats):
    t_c, container = best_time(lambda: compress_signal(signal, options), repeats)
    t_d, restored = best_time(lambda: decompress_signal(container), repeats)
    x = signal.astype(np.float64)
    y = restored.astype(np.float64)
    n = signal.size
    return {
        "bytes": len(container),
        "cr_f32": 4.0 * n / len(container),
        "cr_adc": ADC_BITS * n / 8.0 / len(container),
        "prd": prd(x, y),
        "prdn": prdn(x, y),
        "max_err": float(np.max(np.abs(x - y))),
        "c_mss": n / t_c / 1e6,
        "d_mss": n / t_d / 1e6,
        "restored": restored,
    }


def print_table(rows):
    header = (
        f"{'method':<6} {'scale':>5} {'cutoff':<6} {'coder':<7} {'bytes':>7} {'CR f32':>7} {'CR 11b':>7} "
        f"{'PRD %':>7} {'PRDN %':>7} {'max err mV':>10} {'comp MS/s':>9} {'dec MS/s':>8}"
    )
    print(header)
    print("-" * len(header))
    for (method, scale, cutoff, coder), r in rows:
        print(
            f"{method:<6} {scale:>5} {cutoff:<6} {coder:<7} {r['bytes']:>7} {r['cr_f32']:>7.2f} {r['cr_adc']:>7.2f} "
            f"{r['prd']:>7.3f} {r['prdn']:>7.3f} {r['max_err']:>10.4f} {r['c_mss']:>9.2f} {r['d_mss']:>8.2f}"
        )


def plot(signal, results, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(matplotlib not installed: no plot written)")
        return
    seconds = 3.0
    n = int(seconds * FS_HZ)
    t = np.arange(n) / FS_HZ
    fig, axes = plt.subplots(len(results) + 1, 1, figsize=(11, 2.4 * (len(results) + 1)), sharex=True)
    axes[0].plot(t, signal[:n], color="black", linewidth=0.9)
    axes[0].set_title("MIT-BIH record 100, lead MLII: original (first 3 s)")
    axes[0].set_ylabel("mV")
    for ax, (label, r) in zip(axes[1:], results):
        ax.plot(t, signal[:n], color="black", linewidth=0.9, label="original")
        ax.plot(t, r["restored"][:n], color="tab:red", linewidth=0.8, linestyle="--", label="reconstructed")
        ax.plot(t, (r["restored"][:n] - signal[:n]) * 10.0, color="tab:blue", linewidth=0.6, label="error x10")
        ax.set_title(f"{label}: CR {r['cr_adc']:.1f} vs 11-bit, PRDN {r['prdn']:.2f} %")
        ax.set_ylabel("mV")
        ax.legend(loc="upper right", fontsize=8)
    axes[-1].set_xlabel("time (s)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plot written to {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5, help="timing repetitions (best is kept)")
    parser.add_argument("--plot", type=pathlib.Path, default=HERE / "demo.png", help="PNG to write")
    args = parser.parse_args(argv)

    signal = np.load(RECORDING)
    print(f"vantoresk module: {vantoresk.__file__}")
    print(
        f"signal: {RECORDING.name}, {signal.size} samples ({signal.size / FS_HZ:.0f} s at {FS_HZ:.0f} Hz), "
        f"{signal.min():.3f} to {signal.max():.3f} mV, ADC step {ADC_STEP_MV} mV"
    )
    print(f"raw sizes: float32 {4 * signal.size} bytes, {ADC_BITS}-bit ADC {ADC_BITS * signal.size // 8} bytes")
    print()

    settings = [(method, scale, "low", "auto") for method in METHODS for scale in SCALES]
    # One setting with each coder, and the effect of the dead zone.
    settings += [("cdf97", 11, "low", "deflate"), ("cdf97", 11, "low", "arans")]
    settings += [("cdf97", 11, "medium", "auto"), ("cdf97", 11, "high", "auto")]
    rows = [(s, measure(signal, VantrCompressionOptions(*s), args.repeats)) for s in settings]
    print_table(rows)
    print()
    print("CR f32: ratio to float32 storage; CR 11b: ratio to the original 11-bit samples.")
    print("PRD: 100*sqrt(sum((x-y)^2)/sum(x^2)); PRDN: the same with the mean removed from x in the denominator.")
    print(f"max err: largest |x-y| in mV (the ADC step is {ADC_STEP_MV} mV). Speeds in million samples per second.")

    chosen = {label: r for label, r in rows}
    plot(
        signal,
        [
            ("cdf97, scale 12", chosen[("cdf97", 12, "low", "auto")]),
            ("cdf97, scale 6", chosen[("cdf97", 6, "low", "auto")]),
        ],
        args.plot,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
