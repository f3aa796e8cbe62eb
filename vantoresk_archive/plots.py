"""One PNG per record: for each channel, the few seconds around its largest
error, original against decoded, with the error magnified beneath."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

from ._deps import require

WINDOW_SECONDS = 3.0


def plot_record(reader, tmp: Path, name: str, reports: list, out_dir: str) -> str:
    matplotlib = require("matplotlib", "--plots")
    matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt
    import zarr

    group = zarr.open_group(str(tmp), mode="r")
    panels = []
    for gi, g in enumerate(reader.groups):
        arr = group[g.name]
        at = arr.attrs.get("max_error_at", [0] * g.n_channels)
        rate = g.sampling_rate or 1.0
        half = max(1, int(WINDOW_SECONDS * rate / 2))
        for c in range(g.n_channels):
            a = max(0, min(int(at[c]) - half, g.n_samples - 2 * half))
            b = min(g.n_samples, a + 2 * half)
            a -= a % g.block_multiple
            if b <= a:
                continue
            src = reader.read(gi, a, b)[c]
            dec = np.asarray(arr[c, a:b], dtype=np.float64)
            if g.integer:  # stored integers: physical as the source gives them
                dec = np.where(dec == g.fill_value, np.nan, dec * g.scale_factor + g.add_offset)
            t = np.arange(a, b) / rate
            panels.append((g, c, t, src, dec))
    fig, axes = plt.subplots(2 * len(panels), 1, figsize=(10, 3.2 * len(panels) + 0.4), squeeze=False,
                             gridspec_kw={"height_ratios": [3, 1] * len(panels)})
    for k, (g, c, t, src, dec) in enumerate(panels):
        top, bottom = axes[2 * k, 0], axes[2 * k + 1, 0]
        unit = g.units[c] or "units"
        top.plot(t, src, lw=0.9, color="0.2", label="original")
        top.plot(t, dec, lw=0.9, color="tab:red", alpha=0.8, label="decoded")
        top.set_ylabel(f"{g.channels[c]} ({unit})")
        top.legend(loc="upper right", fontsize=8)
        err = dec - src
        peak = float(np.nanmax(np.abs(err))) if err.size else 0.0
        bottom.plot(t, err, lw=0.8, color="tab:blue")
        bottom.set_ylabel("error")
        bottom.set_title(f"error, peak {peak:.3g} {unit}", fontsize=8, loc="left")
        bottom.set_xlabel("time (s)" if g.sampling_rate else "sample")
    fig.suptitle(f"{name}: where each channel's error is largest")
    fig.tight_layout()
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, f"{name}.png")
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path
