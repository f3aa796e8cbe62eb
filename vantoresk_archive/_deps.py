"""Optional dependencies, imported when first needed with a message that
names the extra to install."""

from __future__ import annotations

import importlib
from types import ModuleType

_EXTRA_OF = {
    "wfdb": "archive",
    "pyedflib": "archive",
    "tqdm": "archive",
    "dask": "archive",
    "distributed": "archive",
    "zarr": "archive",
    "matplotlib": "demo",
    "starlette": "view",
    "uvicorn": "view",
}


def require(module: str, purpose: str) -> ModuleType:
    """Import `module` or raise ImportError saying which extra provides it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        top = module.split(".")[0]
        extra = _EXTRA_OF.get(top, "archive")
        raise ImportError(
            f"{purpose} needs the '{top}' package, which is not installed: "
            f"pip install vantoresk[{extra}]"
        ) from exc
