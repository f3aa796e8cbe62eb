"""Shared helpers for the Python tests."""

import struct

HEADER = struct.Struct("<4sH2s4sBBBBIfffI16s")
FIELDS = ("magic", "version", "sample_format", "wavelet_tag", "level_count", "scale", "coder", "reserved",
          "sample_count", "minimum", "maximum", "mean", "payload_length", "reserved_tail")
assert HEADER.size == 52


def header(container: bytes) -> dict:
    """The 52-byte container header as a dict of its fields."""
    return dict(zip(FIELDS, HEADER.unpack_from(container, 0)))
