"""Output of bench/peers.py: a Markdown table per record, a CSV of every
measured point and every interpolated one, and a ratio-against-PRDN plot."""

from __future__ import annotations

import csv
import math
import pathlib
from dataclasses import asdict, fields
from typing import Optional, Sequence

from peer_metrics import Point, at_prdn

TARGETS = (0.5, 1.0, 2.0, 5.0)


def _group(points: Sequence[Point]) -> dict[str, list[Point]]:
    groups: dict[str, list[Point]] = {}
    for p in points:
        groups.setdefault(p.family, []).append(p)
    return groups


def _fmt(value: Optional[float], digits: int = 3) -> str:
    if value is None or not math.isfinite(value):
        return "—"
    if value == 0.0:
        return "0"
    if abs(value) >= 10 ** digits:
        return f"{value:.0f}"
    return f"{value:.{digits}g}"


def markdown_table(points: Sequence[Point], detail: float) -> str:
    """One row per family: ratio against float32 at each target PRDN, then
    the maximum error and both speeds at PRDN `detail`. Lossless rows meet
    every target, so their ratio repeats and their other figures are their own.
    A dash marks a target outside the family's measured curve."""
    head = (["compressor"] + [f"ratio @ {t:g} %" for t in TARGETS]
            + [f"max error @ {detail:g} %", "compress MS/s", "decompress MS/s"])
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for name, group in _group(points).items():
        cells = [name]
        for t in TARGETS:
            p = at_prdn(group, t)
            cells.append(_fmt(p.ratio if p else None))
        d = at_prdn(group, detail)
        cells += [_fmt(d.max_error if d else None), _fmt(d.compress_mss if d else None),
                  _fmt(d.decompress_mss if d else None)]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def write_csv(path: pathlib.Path, by_record: dict[str, list[Point]]) -> None:
    names = ["record"] + [f.name for f in fields(Point)]
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=names)
        writer.writeheader()
        for record, points in by_record.items():
            rows = list(points)
            for group in _group(points).values():
                if not group[0].lossless:
                    rows += [p for p in (at_prdn(group, t) for t in TARGETS) if p is not None]
            for p in rows:
                writer.writerow({"record": record, **asdict(p)})


def draw_png(path: pathlib.Path, by_record: dict[str, list[Point]], titles: dict[str, str]) -> None:
    import matplotlib
    import matplotlib.ticker
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    count = len(by_record)
    fig, axes = plt.subplots(1, count, figsize=(6.4 * count, 5.2), squeeze=False)
    # vantoresk: one hue per wavelet, dark for rANS and light for DEFLATE;
    # the peers in hues of their own.
    ours = plt.get_cmap("tab20").colors[:8]
    theirs = ("tab:purple", "black", "tab:brown", "tab:olive", "tab:cyan", "tab:gray", "tab:pink")
    for ax, (record, points) in zip(axes[0], by_record.items()):
        mine = iter(ours)
        other = iter(theirs)
        for name, group in _group(points).items():
            colour = next(mine if name.startswith("vantoresk") else other, "0.5")
            if group[0].lossless:
                ax.axhline(group[0].ratio, color=colour, linestyle=":", linewidth=1.5, label=name)
                continue
            curve = sorted((p for p in group if p.prdn > 0), key=lambda p: p.prdn)
            style = "--" if name.endswith("deflate") else "-"
            width = 2.0 if name.startswith("vantoresk") else 1.5
            ax.plot([p.prdn for p in curve], [p.ratio for p in curve], style, color=colour,
                    marker="o", markersize=3, linewidth=width, label=name)
        for t in TARGETS:
            ax.axvline(t, color="0.85", linewidth=0.8, zorder=0)
        ax.set_xscale("log")
        ax.set_yscale("log")
        for axis, ticks in ((ax.xaxis, (0.1, 0.2, 0.5, 1, 2, 5, 10, 20)),
                            (ax.yaxis, (1, 1.5, 2, 3, 4, 5, 7, 10, 15, 20, 30, 50, 70, 100))):
            axis.set_major_locator(matplotlib.ticker.FixedLocator(ticks))
            axis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
            axis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xlim(0.1, 20)
        ax.set_xlabel("PRDN (%)")
        ax.set_ylabel("compression ratio against float32")
        ax.set_title(titles.get(record, record), fontsize=10)
        ax.grid(True, which="major", alpha=0.3)
    axes[0][-1].legend(fontsize=7, loc="center left", bbox_to_anchor=(1.01, 0.5))
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)
