"""The codec's vocabulary (vantoresk_zarr.vocabulary) against the extension
itself: every name it lists is accepted and nothing else is, its header
layout reads what compress_signal writes, and PRDN behaves at its edges."""

import math
import subprocess
import sys

import numpy as np
import pytest

from vantoresk import VantrCompressionOptions as O
from vantoresk import compress_signal, decompress_signal
from vantoresk_zarr import vocabulary as voc


def test_choices_are_exactly_what_the_extension_takes():
    for method in voc.METHODS:
        for cutoff in voc.CUTOFFS:
            for coder in voc.CODERS:
                O(method, voc.SCALES[0], cutoff, coder)
    for scale in voc.SCALES:
        O(scale=scale)
    for bad in (dict(method="db8"), dict(cutoff="none"), dict(coder="zstd"),
                dict(scale=voc.SCALES[0] - 1), dict(scale=voc.SCALES[-1] + 1)):
        with pytest.raises(ValueError):
            O(**bad)
    # The defaults come first.
    assert (voc.METHODS[0], voc.CUTOFFS[0], voc.CODERS[0], voc.DEFAULT_SCALE) == ("cdf97", "low", "auto", 11)
    assert compress_signal(np.arange(500, dtype=np.float32)) == compress_signal(
        np.arange(500, dtype=np.float32), O(voc.METHODS[0], voc.DEFAULT_SCALE, voc.CUTOFFS[0], voc.CODERS[0]))


def test_header_layout_reads_real_containers():
    x = np.sin(np.arange(3000) / 30.0).astype(np.float32)
    for method in voc.METHODS:
        for coder in ("arans", "deflate"):
            blob = compress_signal(x, O(method, 9, "low", coder))
            h = voc.container_header(blob)
            assert h["magic"] == voc.CONTAINER_MAGIC and h["version"] == 1 and h["sample_format"] == b"f3"
            assert voc.WAVELET_TAGS[h["wavelet_tag"]] == method
            assert voc.CODER_BYTES[h["coder"]] == coder
            assert (h["scale"], h["sample_count"]) == (9, x.size)
            assert voc.CONTAINER_HEADER.size + h["payload_length"] == len(blob)


def test_prdn_edges():
    x = np.sin(np.arange(1000) / 10.0)
    assert voc.prdn(x, x) == 0.0
    assert voc.prdn(np.ones(8), np.ones(8)) == 0.0          # flat and exact
    assert voc.prdn(np.ones(8), np.zeros(8)) == math.inf    # flat reference, any error
    assert voc.prdn(x + 1e6, x + 1e6 + 0.01) == pytest.approx(voc.prdn(x, x + 0.01))  # offset cannot flatter it
    # float32 arrays are measured in float64, not in their own precision.
    x32 = x.astype(np.float32)
    y = decompress_signal(compress_signal(x32))
    assert voc.prdn(x32, y) == voc.prdn(x32.astype(np.float64), y.astype(np.float64))


def test_importing_it_loads_nothing_heavy():
    code = "import sys, vantoresk_zarr.vocabulary; print(sorted({'numpy', 'vantoresk', 'zarr'} & set(sys.modules)))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
