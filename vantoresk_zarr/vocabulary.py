"""The codec's vocabulary, in one place for every Python caller: the names
of its choices, the scale range, the container's header layout and tag
tables, and PRDN as every report computes it.

Importing this module loads nothing else (NumPy only when prdn is called),
so a command line can offer the choices before anything heavy is imported.
The extension itself checks every value it is given; these tables are what
callers show and iterate over.
"""

from __future__ import annotations

import math
import struct

# Choices of VantrCompressionOptions, each default first.
METHODS = ("cdf97", "cdf53", "db4", "sym4")
CUTOFFS = ("low", "medium", "high")
CODERS = ("auto", "arans", "deflate")  # "auto" is what None means
SCALES = tuple(range(6, 13))
DEFAULT_SCALE = 11

# The 52-byte container header, little-endian, then the payload.
CONTAINER_MAGIC = b"VNTR"
CONTAINER_HEADER = struct.Struct("<4sH2s4sBBBBIfffI16s")
CONTAINER_FIELDS = ("magic", "version", "sample_format", "wavelet_tag", "level_count", "scale", "coder",
                    "reserved", "sample_count", "minimum", "maximum", "mean", "payload_length", "reserved_tail")
WAVELET_TAGS = {b"cf53": "cdf53", b"cf97": "cdf97", b"db04": "db4", b"sym4": "sym4"}  # tag -> method
CODER_BYTES = {0: "deflate", 1: "arans"}  # header byte -> coder that wrote the payload


def container_header(container: bytes) -> dict:
    """The header fields of a container by name (unchecked)."""
    return dict(zip(CONTAINER_FIELDS, CONTAINER_HEADER.unpack_from(container, 0)))


def prdn(x, y) -> float:
    """Percentage root-mean-square difference with the mean of `x` removed
    from the reference energy, 100 * ||x - y|| / ||x - mean(x)||, in float64.

    0 when y equals x; infinity when x is constant and y differs from it.
    """
    import numpy as np

    x64 = np.asarray(x, dtype=np.float64)
    y64 = np.asarray(y, dtype=np.float64)
    # Sums of squares rather than np.linalg.norm: no BLAS threads competing
    # with timed calls around it.
    spread = math.sqrt(float(np.sum(np.square(x64 - x64.mean()))))
    error = math.sqrt(float(np.sum(np.square(x64 - y64))))
    if spread == 0.0:
        return 0.0 if error == 0.0 else math.inf
    return 100.0 * error / spread
