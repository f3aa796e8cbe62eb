#!/usr/bin/env python3
"""How fast `vantoresk view` answers on a 24-hour, 12-channel record:
the time to show the whole record's overview after opening it, and the
time of each zoom and page step, through the real server over HTTP (and,
when Playwright and Chromium are at hand, from a click in the page to the
drawn canvas). Also the pyramid's size against the record's.

    python bench/view_bench.py [--hours 24] [--keep DIR]

The record: 12 ECG channels at 360 Hz (the shared MIT-BIH and PTB
recordings, each channel shifted), converted at the ADC step for its
first 10 minutes; the day is made by repeating those compressed chunks,
which gives the store a real day's chunk count and sizes without 7 minutes
of converting, then `vantoresk index` writes the pyramid over the day.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "examples"))

FS = 360
CHANNELS = 12
BASE_MINUTES = 10
BROWSER = os.environ.get("VANTORESK_BROWSER", "/usr/bin/chromium-headless-shell")


def make_store(folder: Path, hours: float) -> Path:
    import zarr

    from make_records import shared_signal, wfdb_record
    from vantoresk_archive import ConvertOptions, convert_archive

    src = folder / "src"
    src.mkdir()
    n = FS * 60 * BASE_MINUTES
    names = ["mitdb100_mlii", "mitdb100_v5", "ptbdb_s0010re_ii", "ptbdb_s0010re_v2", "ptbdb_s0010re_vx"]
    signals = {f"ch{c:02d}": np.roll(np.resize(shared_signal(names[c % len(names)], n), n), 1009 * c)
               for c in range(CHANNELS)}
    wfdb_record(src, "day", signals, fs=FS, gain=[200] * CHANNELS, baseline=[0] * CHANNELS, fmt="16",
                units=["mV"] * CHANNELS)
    store = folder / "day.zarr"
    r = convert_archive([str(src)], str(store), ConvertOptions(max_abs_error="adc", chunk_seconds=60))
    assert not r.failed, r.failed
    # The pyramid convert wrote for the real minutes: its share of the store
    # (the repeated day below compresses its pyramid better than real data would).
    pyramid, signals = sizes(store)
    print(f"pyramid of the {BASE_MINUTES} converted minutes: {pyramid / 1024:.0f} KiB against "
          f"{signals / 1024:.0f} KiB of signal chunks: {100 * pyramid / signals:.2f} %")
    # Repeat the compressed chunks up to the whole day.
    arr_dir = store / "day" / "signals"
    meta = json.loads((arr_dir / "zarr.json").read_text())
    chunk = meta["chunk_grid"]["configuration"]["chunk_shape"][1]
    base = sorted((arr_dir / "c" / "0").iterdir(), key=lambda p: int(p.name))
    total = int(hours * 3600 * FS)
    for k in range(len(base), -(-total // chunk)):
        shutil.copyfile(base[k % len(base)], arr_dir / "c" / "0" / str(k))
    meta["shape"][1] = total
    (arr_dir / "zarr.json").write_text(json.dumps(meta, indent=2))
    shutil.rmtree(store / "day" / "overview")
    zarr.open_group(str(store / "day"), mode="r")  # still opens
    return store


def sizes(store: Path) -> tuple:
    rec = store / "day"
    pyramid = sum(p.stat().st_size for p in (rec / "overview").rglob("*") if p.is_file())
    signals = sum(p.stat().st_size for p in (rec / "signals").rglob("*") if p.is_file())
    return pyramid, signals


def start_server(store: Path):
    proc = subprocess.Popen([sys.executable, "-m", "vantoresk_archive", "view", str(store), "--port", "0",
                             "--no-browser"], stdout=subprocess.PIPE, text=True)
    url = re.search(r"http://\S+/", proc.stdout.readline()).group(0)
    return proc, url


def get(url: str) -> bytes:
    with urllib.request.urlopen(url) as r:
        return r.read()


def timed(fn) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def http_steps(url: str, hours: float, width: int = 1280) -> dict:
    dur = hours * 3600
    data = lambda t0, span: get(f"{url}api/records/day/data?start={t0}&stop={min(dur, t0 + span)}&points={width}")
    opening = timed(lambda: (get(url + "api/records"), get(url + "api/records/day"), data(0, dur)))
    zooms, pages = [], []
    # Zoom in by halves from the whole day to 5 s around 13:00, then page
    # forward and back at a few spans, each step a fresh range.
    span, centre = dur, min(dur / 2, 13 * 3600.0)
    while span > 5:
        span /= 2
        t0 = max(0.0, min(dur - span, centre - span / 2))
        zooms.append((span, timed(lambda: data(t0, span))))
    for span in (5.0, 30.0, 120.0, 600.0, 3600.0):
        t0 = 2 * 3600.0
        for _ in range(4):
            t0 += span
            pages.append((span, timed(lambda: data(t0, span))))
    return {"opening": opening, "zooms": zooms, "pages": pages}


def browser_steps(url: str) -> dict:
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        return {}
    if not os.path.exists(BROWSER):
        return {}
    out = {}
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=BROWSER, args=["--no-sandbox"])
        page = b.new_page(viewport={"width": 1600, "height": 900})
        page.goto(url)
        page.wait_for_selector("tr[data-record=day]")
        t = time.perf_counter()
        page.click("tr[data-record=day]")
        page.wait_for_function("Number(document.body.dataset.drawn || 0) >= 1")
        out["opening"] = time.perf_counter() - t
        out["opening_page"] = page.evaluate("window.vantoreskView.stepMs") / 1e3
        page.focus("#plot")
        steps = []
        for key in ["+"] * 14 + ["PageDown"] * 4 + ["-"] * 3 + ["PageUp"] * 3:
            n = int(page.evaluate("document.body.dataset.drawn"))
            t = time.perf_counter()
            page.keyboard.press(key)
            page.wait_for_function(f"Number(document.body.dataset.drawn) > {n}")
            outside = time.perf_counter() - t
            steps.append((key, page.evaluate("window.vantoreskView.stepMs") / 1e3, outside))
        out["steps"] = steps
        b.close()
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--hours", type=float, default=24.0)
    ap.add_argument("--keep", metavar="DIR", help="build the store in DIR and keep it")
    args = ap.parse_args()
    folder = Path(args.keep or tempfile.mkdtemp(prefix="view-bench-"))
    folder.mkdir(parents=True, exist_ok=True)
    try:
        store = folder / "day.zarr"
        if not store.exists():
            print(f"building a {args.hours:g} h, {CHANNELS}-channel record in {folder} ...", flush=True)
            store = make_store(folder, args.hours)
        t = time.perf_counter()
        subprocess.run([sys.executable, "-m", "vantoresk_archive", "index", str(store)], check=True,
                       stdout=subprocess.DEVNULL)
        index_s = time.perf_counter() - t
        pyramid, signals = sizes(store)
        print(f"pyramid of the repeated day {pyramid / 2**20:.2f} MiB against {signals / 2**20:.1f} MiB "
              "of signal chunks: "
              f"{100 * pyramid / signals:.2f} % (written in {index_s:.1f} s)")
        proc, url = start_server(store)
        try:
            h = http_steps(url, args.hours)
            print(f"HTTP  opening (records, record, whole-day overview): {h['opening'] * 1e3:.0f} ms")
            zt = [s for _, s in h["zooms"]]
            pt = [s for _, s in h["pages"]]
            print(f"HTTP  zoom steps ({len(zt)}, 24 h down to 5 s): median {statistics.median(zt) * 1e3:.0f} ms, "
                  f"max {max(zt) * 1e3:.0f} ms")
            print("      " + ", ".join(f"{sp:.0f}s:{s * 1e3:.0f}" for sp, s in h["zooms"]))
            print(f"HTTP  page steps ({len(pt)}, 5 s to 1 h pages): median {statistics.median(pt) * 1e3:.0f} ms, "
                  f"max {max(pt) * 1e3:.0f} ms")
            print("      " + ", ".join(f"{sp:.0f}s:{s * 1e3:.0f}" for sp, s in h["pages"]))
            br = browser_steps(url)
            if br:
                inside = [s for _, s, _ in br["steps"]]
                outside = [s for _, _, s in br["steps"]]
                print(f"page  click to drawn overview: {br['opening_page'] * 1e3:.0f} ms in the page "
                      f"({br['opening'] * 1e3:.0f} ms seen from the test driver)")
                print(f"page  key to redrawn canvas, {len(inside)} zoom/page steps, in the page: median "
                      f"{statistics.median(inside) * 1e3:.0f} ms, max {max(inside) * 1e3:.0f} ms (driver: median "
                      f"{statistics.median(outside) * 1e3:.0f} ms, max {max(outside) * 1e3:.0f} ms)")
            else:
                print("page  (no Playwright or Chromium here: page timings skipped)")
        finally:
            proc.terminate()
            proc.wait()
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
