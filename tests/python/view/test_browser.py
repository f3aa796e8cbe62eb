"""End to end in a real headless browser: `vantoresk view` serves a
converted store; the page lists the records, draws traces, zooms and pages
with the mouse and keys, hides a channel and shows beat labels. The last
screenshot is kept (its path is printed) for people to look at."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

BROWSER = os.environ.get("VANTORESK_BROWSER", "/usr/bin/chromium-headless-shell")
SHOTS = Path(__file__).resolve().parents[3] / "build" / "view-screenshots"


@pytest.fixture(scope="module")
def server(store):
    """`vantoresk view STORE --port 0 --no-browser` running; its URL."""
    proc = subprocess.Popen([sys.executable, "-m", "vantoresk_archive", "view", str(store), "--port", "0",
                             "--no-browser"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    m = re.search(r"(http://127\.0\.0\.1:\d+/)", line)
    assert m, line + proc.stderr.read()
    yield m.group(1), proc
    if proc.poll() is None:
        proc.kill()
        proc.wait()


def test_ctrl_c_stops_with_130(store):
    proc = subprocess.Popen([sys.executable, "-m", "vantoresk_archive", "view", str(store), "--port", "0",
                             "--no-browser"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert "127.0.0.1" in proc.stdout.readline()
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 130
    assert err.strip() == "vantoresk view: interrupted"


def test_view_refuses_unknown_record_and_taken_port(store, server):
    url, _ = server
    port = url.rsplit(":", 1)[1].strip("/")
    run = lambda *a: subprocess.run([sys.executable, "-m", "vantoresk_archive", "view", *map(str, a), "--no-browser"],
                                    capture_output=True, text=True, timeout=60)
    r = run(store, "nosuch", "--port", "0")
    assert r.returncode == 1 and "no record 'nosuch'" in r.stderr and "Traceback" not in r.stderr
    r = run(store, "--port", port)
    assert r.returncode == 1 and f"port {port}" in r.stderr and len(r.stderr.splitlines()) == 1
    r = run(store, "--port", "70000")
    assert r.returncode == 2 and "65535" in r.stderr
    r = run(store.parent / "not-a-store.zarr", "--port", "0")
    assert r.returncode == 1 and "not a Zarr v3 store" in r.stderr and "Traceback" not in r.stderr


INK = """(box) => {
  const c = document.getElementById('plot');
  const dpr = window.devicePixelRatio || 1;
  const [x, y, w, h] = box.map((v) => Math.round(v * dpr));
  const d = c.getContext('2d').getImageData(x, y, w, h).data;
  let ink = 0;
  for (let i = 0; i < d.length; i += 4) if (d[i + 2] > 120 && d[i] < 80) ink++;  // the traces' blue
  return ink;
}"""


def _lanes(page):
    """Boxes (css pixels) of the drawn trace lanes, top to bottom."""
    w, h = page.evaluate("[document.getElementById('plot').clientWidth, document.getElementById('plot').clientHeight]")
    n = page.evaluate("window.vantoreskView.traces.filter((t) => t.visible).length")
    lane = (h - 22 - 26) / n
    return [[121, 22 + k * lane + 2, w - 122, lane - 4] for k in range(n)]


def _wait_drawn(page, before):
    page.wait_for_function(f"Number(document.body.dataset.drawn || 0) > {before}")
    return int(page.evaluate("document.body.dataset.drawn"))


def test_browse_a_record(server):
    sync_api = pytest.importorskip("playwright.sync_api")
    if not os.path.exists(BROWSER):
        pytest.skip(f"no headless browser at {BROWSER} (tools/install_system_packages.sh --with-test-tools "
                    "installs chromium-headless-shell)")
    url, _ = server
    errors = []
    with sync_api.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=BROWSER, args=["--no-sandbox"])
        try:
            page = browser.new_page(viewport={"width": 1400, "height": 800})
            page.on("pageerror", lambda e: errors.append(str(e)))
            page.goto(url)
            page.wait_for_selector("tr[data-record=ecg]")
            assert "3:00" in page.inner_text("tr[data-record=ecg]")
            page.click("tr[data-record=ecg]")
            drawn = _wait_drawn(page, 0)
            view = lambda: page.evaluate("[window.vantoreskView.t0, window.vantoreskView.span]")
            assert view() == [0, 180]
            for box in _lanes(page):
                assert page.evaluate(INK, box) > 500  # both traces drawn
            assert page.evaluate("window.vantoreskView.points") <= 2 * 1400
            assert "10:20:30" in page.inner_text("#range")  # the wall clock from the start time

            # Zoom in with the wheel around the plot's middle, then with keys.
            page.mouse.move(121 + (1400 - 380 - 121) / 2, 300)
            for _ in range(5):
                page.mouse.wheel(0, -100)
                drawn = _wait_drawn(page, drawn)
            t0, span = view()
            assert span < 180 * 0.8 ** 4 and 0 < t0 < 90
            page.focus("#plot")
            while view()[1] > 4:
                page.keyboard.press("+")
                drawn = _wait_drawn(page, drawn)
            t0, span = view()
            page.keyboard.press("PageDown")
            drawn = _wait_drawn(page, drawn)
            assert view() == pytest.approx([t0 + span, span])
            page.keyboard.press("ArrowLeft")
            drawn = _wait_drawn(page, drawn)
            assert view() == pytest.approx([t0 + 0.75 * span, span])
            # Drag to the left moves later in time.
            page.mouse.move(900, 300)
            page.mouse.down()
            page.mouse.move(700, 300, steps=4)
            page.mouse.up()
            drawn = _wait_drawn(page, drawn)
            assert view()[0] > t0 + 0.75 * span
            assert "samples" in page.inner_text("#status")
            labels = page.evaluate("window.vantoreskView.ann.events.map((e) => e.label)")
            assert "N" in labels

            # Hide V5: one lane left, still drawn.
            page.uncheck("input[data-channel=V5]")
            drawn = _wait_drawn(page, drawn)
            (box,) = _lanes(page)
            assert page.evaluate(INK, box) > 200
            # Down to single samples, jump to a clock time, out to a few seconds.
            page.focus("#plot")
            while view()[1] > 0.1:
                page.keyboard.press("+")
                drawn = _wait_drawn(page, drawn)
            page.fill("#jump", "10:21:30")
            page.press("#jump", "Enter")
            drawn = _wait_drawn(page, drawn)
            assert view()[0] + view()[1] / 2 == pytest.approx(60.0)
            page.focus("#plot")
            while view()[1] < 4:
                page.keyboard.press("-")
                drawn = _wait_drawn(page, drawn)
            red = page.evaluate("""() => {
              const c = document.getElementById('plot');
              const d = c.getContext('2d').getImageData(0, 0, c.width, 20 * (window.devicePixelRatio || 1)).data;
              let n = 0;
              for (let i = 0; i < d.length; i += 4) if (d[i] > 150 && d[i + 1] < 80) n++;
              return n;
            }""")
            assert red > 20  # labels "N" and "(AFIB" at the top
            SHOTS.mkdir(parents=True, exist_ok=True)
            shot = SHOTS / "ecg.png"
            page.screenshot(path=str(shot))
            print(f"screenshot: {shot}")
            page.keyboard.press("0")
            drawn = _wait_drawn(page, drawn)
            assert view() == [0, 180]
        finally:
            browser.close()
    assert not errors, errors
