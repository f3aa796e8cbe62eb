"""Importing optional dependencies with an error that names the extra to install."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str = "zarr") -> ModuleType:
    """Import `module`, or raise ImportError telling which extra provides it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"{module} is needed here but is not installed: pip install vantoresk[{extra}]"
        ) from exc
