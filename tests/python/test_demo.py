"""examples/demo.py runs and reports what it measured: every wavelet, ratios
that rise as the scale falls, and errors within the ADC step at scale 12."""

import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


@pytest.mark.skipif(not DEMO.exists(), reason="needs the examples folder of a checkout")
def test_demo_table(tmp_path):
    out = subprocess.run([sys.executable, str(DEMO), "--repeats", "1", "--plot", str(tmp_path / "demo.png")],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    rows = {}
    for line in out.stdout.splitlines():
        cells = line.split()
        if len(cells) == 12 and cells[1].isdigit() and cells[2] == "low" and cells[3] == "auto":
            rows[cells[0], int(cells[1])] = float(cells[5]), float(cells[9])  # CR f32, max error
    for method in ("cdf53", "cdf97", "db4", "sym4"):
        ratios = [rows[method, s][0] for s in (12, 10, 8, 6)]
        assert ratios == sorted(ratios), (method, ratios)
        assert rows[method, 12][1] < 0.005  # below the recording's ADC step, in mV
