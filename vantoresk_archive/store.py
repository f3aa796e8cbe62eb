"""The archive store on disk: one Zarr v3 group per record under a root
group, each record written under a temporary name and moved into place
only when complete.

Partial records live in `STORE/.partial/`, which holds no group metadata of
its own, so readers of the store never list them. A record is finished
exactly when `STORE/<name>/zarr.json` exists: the move into place is one
rename on one file system.
"""

from __future__ import annotations

import json
import os
import shutil
import uuid
from pathlib import Path
from typing import Iterator

from ._deps import require

PARTIAL = ".partial"


def zarr_module():
    return require("zarr", "Writing Zarr stores")


def open_root(store: str, *, create: bool):
    """The store's root group; created (Zarr v3) when `create` and absent."""
    zarr = zarr_module()
    if create:
        Path(store).mkdir(parents=True, exist_ok=True)
        if not (Path(store) / "zarr.json").exists():
            return zarr.open_group(store, mode="w", zarr_format=3)
        return zarr.open_group(store, mode="r+")
    if not (Path(store) / "zarr.json").exists():
        raise FileNotFoundError(f"{store}: not a Zarr v3 store (no zarr.json)")
    return zarr.open_group(store, mode="r")


def is_complete(store: str, name: str) -> bool:
    return (Path(store) / name / "zarr.json").is_file()


def record_names(store: str) -> list:
    """Names of the finished records (the root's child groups), sorted."""
    root = Path(store)
    return sorted(
        p.name for p in root.iterdir()
        if p.is_dir() and not p.name.startswith(".") and _node_type(p) == "group"
    )


def _node_type(folder: Path):
    try:
        return json.loads((folder / "zarr.json").read_text()).get("node_type")
    except (OSError, ValueError, AttributeError):
        return None


def begin_record(store: str, name: str) -> Path:
    """A fresh temporary folder for `name`; stale ones from killed runs go."""
    partial = Path(store) / PARTIAL
    partial.mkdir(parents=True, exist_ok=True)
    for stale in partial.iterdir():
        # Exactly this record's leftovers: "a" must not take those of "a.b".
        if stale.name.rsplit(".", 1)[0] == name:
            shutil.rmtree(stale, ignore_errors=True)
    tmp = partial / f"{name}.{uuid.uuid4().hex[:12]}"
    tmp.mkdir()
    return tmp


def commit_record(store: str, name: str, tmp) -> None:
    """Move a finished record into place, replacing an older one if any."""
    tmp = Path(tmp)
    final = Path(store) / name
    old = None
    if final.exists():
        old = tmp.parent / f"{name}.old{uuid.uuid4().hex[:12]}"
        os.rename(final, old)
    os.rename(tmp, final)
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def discard_record(tmp) -> None:
    shutil.rmtree(tmp, ignore_errors=True)


def tidy(store: str) -> None:
    """Remove the temporary folder once nothing is left in it."""
    try:
        (Path(store) / PARTIAL).rmdir()
    except OSError:
        pass


def chunk_files(array) -> Iterator[tuple]:
    """(chunk index along time, raw bytes or None) for each chunk of a
    channels x time array in a local store."""
    root = Path(str(array.store.root)) if hasattr(array.store, "root") else None
    if root is None:
        raise ValueError("chunk sizes can only be read from a local store")
    n_chunks = -(-array.shape[1] // array.chunks[1]) if array.shape[1] else 0
    for k in range(n_chunks):
        key = array.metadata.encode_chunk_key((0, k))
        path = root / array.path / key
        yield k, path.read_bytes() if path.is_file() else None
