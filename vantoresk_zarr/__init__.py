"""Chunked-store support for vantoresk: a lane codec for N-D float and integer chunks,
error targets that hold, and codecs for numcodecs (Zarr v2) and Zarr v3.

Importing this package imports neither Zarr nor numcodecs; the codec classes
load them on first use (`pip install vantoresk[zarr]`). Zarr and numcodecs
find the codecs through entry points, named "vantoresk" in both.
"""

from __future__ import annotations

import importlib
from typing import Any

# Public name -> module that defines it, imported on first access.
_EXPORTS = {
    "encode_lanes": "lanes",
    "decode_lanes": "lanes",
    "inspect_frame": "info",
    "FrameInfo": "info",
    "LaneInfo": "info",
    "compress_to_target": "targets",
    "TargetResult": "targets",
    "VantoreskCodec": "numcodecs_codec",
    "VantoreskZarrCodec": "zarr3_codec",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value


def __dir__() -> list:
    return sorted(set(globals()) | set(_EXPORTS))
