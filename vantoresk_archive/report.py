"""The per-record, per-channel report: a text table for the terminal and a
CSV file (`--report`)."""

from __future__ import annotations

import csv
from dataclasses import asdict
from typing import Iterable, Optional

COLUMNS = [
    # key, heading, format
    ("record", "record", "{}"),
    ("array", "array", "{}"),
    ("channel", "channel", "{}"),
    ("rate", "Hz", "{:g}"),
    ("samples", "samples", "{}"),
    ("bytes", "bytes", "{}"),
    ("ratio_float32", "x float32", "{:.2f}"),
    ("ratio_source", "x source", "{:.2f}"),
    ("prdn", "PRDN %", "{:.3f}"),
    ("max_error", "max error", "{:.4g}"),
    ("settings", "settings", "{}"),
    ("seconds", "time s", "{:.2f}"),
]
NUMERIC = {"rate", "samples", "bytes", "ratio_float32", "ratio_source", "prdn", "max_error", "seconds"}


def as_rows(items: Iterable) -> list:
    return [asdict(x) if not isinstance(x, dict) else x for x in items]


def _cell(key: str, fmt: str, value) -> str:
    if value is None:
        return "-"
    return fmt.format(value)


def format_table(rows: list, *, columns: Optional[list] = None) -> str:
    """A plain aligned table; columns absent from every row are left out,
    and the array column only shows when some record has several."""
    cols = [c for c in (columns or COLUMNS) if any(c[0] in r for r in rows)]
    if all(r.get("array") in (None, "signals") for r in rows):
        cols = [c for c in cols if c[0] != "array"]
    cells = [[h for _, h, _ in cols]]
    for r in rows:
        cells.append([_cell(k, f, r.get(k)) for k, _, f in cols])
    widths = [max(len(row[i]) for row in cells) for i in range(len(cols))]
    lines = []
    for row in cells:
        parts = [
            cell.rjust(w) if cols[i][0] in NUMERIC else cell.ljust(w)
            for i, (cell, w) in enumerate(zip(row, widths))
        ]
        lines.append("  ".join(parts).rstrip())
    return "\n".join(lines)


def write_csv(path: str, rows: list) -> None:
    keys = [k for k, _, _ in COLUMNS]
    with open(path, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=keys, extrasaction="ignore")
        w.writeheader()
        for r in rows:
            w.writerow({k: ("" if r.get(k) is None else r.get(k)) for k in keys})
