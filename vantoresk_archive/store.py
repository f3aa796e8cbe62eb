"""The archive store: one Zarr v3 group per record under a root group that
carries our writer mark, each record written under a temporary name and
moved into place only when complete.

A store is a local folder or an fsspec URL (`s3://bucket/x.zarr`,
`memory://x`). Partial records live in `STORE/.partial/`, which holds no
group metadata of its own, so readers of the store never list them. A
record is finished exactly when `STORE/<name>/zarr.json` exists: locally the
move into place is one rename on one file system.

Nothing here deletes or writes outside the store: `.partial` and record
folders that turn out to be links are refused or unlinked, never followed,
and the store is only created in a folder that is empty or already ours.
Per-record claims (`claim_record`) keep two runs on one store from ever
touching each other's work in progress.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import re
import shutil
import socket
import stat
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, Iterator, Optional

from ._deps import require

PARTIAL = ".partial"
LOCKS = ".locks"
# Names a record may never take: the store's own metadata (any Zarr
# version), on case-insensitive file systems too.
RESERVED = {"zarr.json", ".zgroup", ".zattrs", ".zarray", ".zmetadata"}
_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.\-]*)://")


class UsageError(ValueError):
    """A request refused before anything was written (exit status 2)."""


class StoreError(ValueError):
    """A store whose contents are not what this package wrote."""


def zarr_module():
    return require("zarr", "Writing Zarr stores")


def writer() -> str:
    try:
        from importlib.metadata import version

        return f"vantoresk {version('vantoresk')}"
    except Exception:
        return "vantoresk"


# Locations: local folders and fsspec URLs

def url_scheme(store: str) -> Optional[str]:
    m = _URL.match(str(store))
    return m.group(1).lower() if m else None


def check_location(store: str) -> str:
    """`store` as given, or a local path for file:// URLs; UsageError for
    a scheme no fsspec file system is known for."""
    scheme = url_scheme(store)
    if scheme is None:
        return str(store)
    if scheme in ("file", "local"):
        return str(store)[len(scheme) + 3:] or "/"
    from fsspec.registry import known_implementations, registry

    if scheme not in known_implementations and scheme not in registry:
        raise UsageError(f"{store}: unknown URL scheme '{scheme}://' (no fsspec file system for it)")
    return str(store).rstrip("/")


def _remote(store: str):
    """(fsspec file system, path) for a URL store; None for a local one."""
    if url_scheme(store) is None:
        return None
    import fsspec

    return fsspec.core.url_to_fs(store)


def _join(store: str, *parts: str) -> str:
    return "/".join([str(store).rstrip("/"), *parts]) if url_scheme(store) else os.path.join(store, *parts)


# Another run may be rewriting a metadata document while we read it (zarr
# writes them in place): a document that does not parse is read again a few
# times before it counts as damaged.
_REREADS = 20
_REREAD_PAUSE = 0.05


def _read_json(store: str, key: str):
    """A metadata document of the store, or None when absent or not JSON.
    A local link is never followed: the store's metadata is its own."""
    rem = _remote(store)
    for attempt in range(_REREADS):
        try:
            if rem is None:
                path = os.path.join(store, key)
                if not stat.S_ISREG(os.lstat(path).st_mode):
                    return None
                text = Path(path).read_text()
            else:
                fs, root = rem
                text = fs.cat_file(f"{root}/{key}").decode()
        except OSError:
            return None
        try:
            doc = json.loads(text)
        except (ValueError, UnicodeDecodeError):
            if attempt + 1 < _REREADS:
                time.sleep(_REREAD_PAUSE)
            continue
        return doc if isinstance(doc, dict) else None
    return None


def _is_group(doc) -> bool:
    return isinstance(doc, dict) and doc.get("node_type") == "group" and doc.get("zarr_format") == 3


# Output checks, before anything is written

def check_record_name(name: str) -> str:
    """`name` when it can be a record's folder; ValueError otherwise."""
    if (not isinstance(name, str) or not name or name.startswith((".", "_")) or "/" in name or "\\" in name
            or "\0" in name or name.lower() in RESERVED):
        raise ValueError(f"{name!r} cannot name a record (reserved for the store's own metadata or not a plain name)")
    return name


def is_our_store(store: str) -> bool:
    """True for a store this package wrote: a root group with our mark, or
    (stores from before the mark) one holding nothing but record groups."""
    root = _read_json(store, "zarr.json")
    if not _is_group(root):
        return False
    if isinstance(root.get("attributes", {}).get("vantoresk"), dict):
        return True
    for entry in _entries(store):
        if entry in ("zarr.json", PARTIAL, LOCKS):
            continue
        doc = _read_json(store, f"{entry}/zarr.json")
        if not (_is_group(doc) and isinstance(doc.get("attributes", {}).get("arrays"), list)):
            return False
    return True


def _entries(store: str) -> list:
    rem = _remote(store)
    if rem is None:
        return sorted(os.listdir(store))
    fs, root = rem
    return sorted(p.rstrip("/").rsplit("/", 1)[-1] for p in fs.ls(root, detail=False))


def _within(inner: str, outer: str) -> bool:
    return inner == outer or inner.startswith(outer.rstrip(os.sep) + os.sep)


def check_output(store: str, sources: Iterable[str]) -> None:
    """Refuse, before anything is written, a store that would replace or mix
    with what is not ours: an existing file, a folder or URL holding
    something other than a store of ours, a store of a newer layout than
    this version writes, or a store that is, holds or lies inside one of
    the sources."""
    store = check_location(store)
    _check_layout(store)
    rem = _remote(store)
    if rem is not None:
        fs, root = rem
        if fs.exists(root):
            if fs.isfile(root):
                raise UsageError(f"{store}: exists and is not a store; choose another output")
            if _entries(store) and not is_our_store(store):
                raise UsageError(f"{store}: exists and is not a vantoresk store; choose a new or empty location")
        return
    out = os.path.realpath(store)
    for src in sources:
        if url_scheme(src) is not None:
            continue
        real = os.path.realpath(src)
        if not os.path.exists(real) and os.path.exists(real + ".hea"):
            real += ".hea"
        if _within(real, out):
            what = "is" if real == out else "holds"
            raise UsageError(f"{store}: the store {what} the source {src}; choose an output outside the sources")
        if os.path.isdir(real) and _within(out, real):
            raise UsageError(f"{store}: the store lies inside the source folder {src}; "
                             "choose an output outside the sources")
    if os.path.lexists(store):
        if not os.path.isdir(store):
            raise UsageError(f"{store}: exists and is not a folder; choose another output")
        if os.listdir(store) and not is_our_store(store):
            raise UsageError(f"{store}: exists and is not a vantoresk store (it holds other files); "
                             "choose a new or empty folder")


def _check_layout(store: str) -> None:
    from .layout import LAYOUT

    mark = ((_read_json(store, "zarr.json") or {}).get("attributes") or {}).get("vantoresk")
    layout = mark.get("layout") if isinstance(mark, dict) else None
    if isinstance(layout, int) and not isinstance(layout, bool) and layout > LAYOUT:
        raise UsageError(f"{store}: written by {mark.get('writer', 'a newer vantoresk')} in store layout {layout}; "
                         f"this version writes layout {LAYOUT} and leaves it as it is")


# The root group

def open_root(store: str, *, create: bool):
    """The store's root group; created (Zarr v3, with our mark) when
    `create` and absent. Never replaces anything already there."""
    zarr = zarr_module()
    store = check_location(store)
    if create:
        _create_root(store)
        if url_scheme(store) is None:
            for sub in (PARTIAL, LOCKS):  # refused before any record would use them
                if os.path.lexists(os.path.join(store, sub)):
                    _safe_folder(store, sub)
        return zarr.open_group(store, mode="r+")
    doc = _read_json(store, "zarr.json")
    if doc is None:
        raise FileNotFoundError(f"{store}: not a Zarr v3 store (no zarr.json)")
    if not _is_group(doc):
        raise StoreError(f"{store}: damaged store: its zarr.json is not a Zarr v3 group")
    try:
        return zarr.open_group(store, mode="r")
    except Exception as exc:  # forged or damaged consolidated metadata, among others
        raise StoreError(f"{store}: damaged store metadata ({type(exc).__name__}: {exc})") from None


def _create_root(store: str) -> None:
    from .layout import LAYOUT

    doc = {"zarr_format": 3, "node_type": "group",
           "attributes": {"vantoresk": {"writer": writer(), "layout": LAYOUT}}}
    data = json.dumps(doc, indent=2).encode()
    rem = _remote(store)
    if rem is not None:
        fs, root = rem
        if not fs.exists(f"{root}/zarr.json"):
            fs.makedirs(root, exist_ok=True)
            fs.pipe_file(f"{root}/zarr.json", data)
        return
    os.makedirs(store, exist_ok=True)
    path = os.path.join(store, "zarr.json")
    # Written whole under a private name, then linked into place: the link
    # fails if the name exists, and another run never sees a half-written root.
    tmp = os.path.join(store, f".zarr.json.{os.getpid()}.{uuid.uuid4().hex[:8]}")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    try:
        os.link(tmp, path, follow_symlinks=False)
    except FileExistsError:  # there already, or written a moment ago by another run
        if not _is_group(_read_json(store, "zarr.json")):
            raise StoreError(f"{store}: damaged store: its zarr.json is not a Zarr v3 group") from None
    finally:
        os.unlink(tmp)


# Records

def is_complete(store: str, name: str) -> bool:
    if url_scheme(store) is None and os.path.islink(os.path.join(store, name)):
        return False  # a link is not a record of ours, whatever it points at
    return _is_group(_read_json(store, f"{name}/zarr.json"))


def record_attrs(store: str, name: str) -> dict:
    """The attributes of a finished record's group ({} when unreadable)."""
    doc = _read_json(store, f"{name}/zarr.json") or {}
    attrs = doc.get("attributes")
    return attrs if isinstance(attrs, dict) else {}


def record_names(store: str) -> list:
    """Names of the finished records (the root's child groups), sorted."""
    store = check_location(store)
    names = []
    for entry in _entries(store):
        if entry.startswith(".") or entry.lower() in RESERVED:
            continue
        if is_complete(store, entry):
            names.append(entry)
    return names


def claim_record(store: str, name: str) -> Claim:
    """Hold `name` for this process until released; `Claim.busy` says who
    else holds it when taken. URL stores rely on one writer at a time."""
    check_record_name(name)
    if url_scheme(store) is not None:
        return Claim(None, None)
    for _ in range(3):  # another run may tidy the folder away meanwhile
        try:
            return claim(_safe_folder(store, LOCKS), name)
        except FileNotFoundError:
            continue
    raise StoreError(f"{store}: cannot create a lock in {LOCKS}")


@contextlib.contextmanager
def index_lock(store: str):
    """Held while the root's record index is rewritten: concurrent runs
    finishing at once take turns instead of losing each other's entries."""
    if url_scheme(store) is not None:
        yield
        return
    for _ in range(3):
        try:
            c = claim(_safe_folder(store, LOCKS), "_index", wait=True)  # record names never start with '_'
            break
        except FileNotFoundError:
            continue
    else:
        raise StoreError(f"{store}: cannot create a lock in {LOCKS}")
    try:
        yield
    finally:
        c.release()


def _safe_folder(store: str, sub: str) -> str:
    """STORE/sub as a real folder of the store, created when absent;
    StoreError when something else (a link, a file) stands there."""
    path = os.path.join(store, sub)
    try:
        os.mkdir(path)
    except FileExistsError:
        pass
    st_ = os.lstat(path)
    if not stat.S_ISDIR(st_.st_mode):
        raise StoreError(f"{path}: expected the store's own folder, found a link or file; "
                         "remove it (nothing outside the store is touched)")
    return path


def begin_record(store: str, name: str) -> str:
    """A fresh temporary folder for `name`; stale ones from killed runs go.
    The caller holds the record's claim, so they are nobody's work."""
    check_record_name(name)
    _check_replaceable(store, name)
    rem = _remote(store)
    tag = f"{name}.{uuid.uuid4().hex[:12]}"
    if rem is not None:
        fs, root = rem
        for stale in _stale(store, name):
            fs.rm(f"{root}/{PARTIAL}/{stale}", recursive=True)
        return _join(store, PARTIAL, tag)
    for attempt in range(3):  # another run may tidy the folder away meanwhile
        partial = _safe_folder(store, PARTIAL)
        for stale in _stale(store, name):
            remove_tree(os.path.join(partial, stale))
        try:
            os.mkdir(os.path.join(partial, tag))
            return os.path.join(partial, tag)
        except FileNotFoundError:
            continue
    raise StoreError(f"{store}: cannot create a temporary folder in {PARTIAL}")


def _check_replaceable(store: str, name: str) -> None:
    """StoreError when STORE/name holds something that is not a record of
    ours (a user's folder or file dropped into the store): finishing the
    record would have to delete it. A link is only unlinked, so it may go;
    in an object store a prefix without its group metadata is what an
    interrupted move into place leaves."""
    path = os.path.join(store, name)
    if url_scheme(store) is None and os.path.lexists(path) and not os.path.islink(path) \
            and not is_complete(store, name):
        raise StoreError(f"{path} is in the way and is not a record of this store; move it away to convert {name}")


def _stale(store: str, name: str) -> list:
    partial = _join(store, PARTIAL)
    try:
        if url_scheme(store) is None and not stat.S_ISDIR(os.lstat(partial).st_mode):
            return []  # a link standing there now is never listed, let alone cleared
        entries = _entries(partial)
    except OSError:
        return []
    # Exactly this record's leftovers: "a" must not take those of "a.b".
    return [e for e in entries if e.rsplit(".", 1)[0] == name or e.startswith(f"{name}.old")]


def commit_record(store: str, name: str, tmp) -> None:
    """Move a finished record into place, replacing an older one if any."""
    tmp = str(tmp)
    final = _join(store, name)
    old = _join(store, PARTIAL, f"{name}.old{uuid.uuid4().hex[:12]}")
    rem = _remote(store)
    if rem is not None:
        fs, _ = rem
        src, dst, bak = (fsspec_path(p) for p in (tmp, final, old))
        moved = bool(fs.find(dst))
        if moved:
            _move_objects(fs, dst, bak)
        _move_objects(fs, src, dst)
        if moved:
            fs.rm(fs.find(bak))
        return
    _check_replaceable(store, name)  # again: something may have been put there meanwhile
    moved = os.path.lexists(final)
    if moved:
        os.rename(final, old)
    try:
        os.rename(tmp, final)
    except BaseException:  # interrupted or failed between the renames: the old record goes back
        if moved and not os.path.lexists(final):
            os.rename(old, final)
        raise
    if moved:
        remove_tree(old)


def _move_objects(fs, src: str, dst: str) -> None:
    """Copy every object below `src` to the same place below `dst`, then
    delete the originals (object stores have no folders to rename)."""
    objects = fs.find(src)
    for key in objects:
        fs.copy(key, dst + key[len(src):])
    if objects:
        fs.rm(objects)


def fsspec_path(url: str) -> str:
    return _remote(url)[1]


def remove_tree(path: str) -> None:
    """Delete a folder we made; a link is unlinked, never followed."""
    rem = _remote(path)
    if rem is not None:
        fs, p = rem
        try:
            fs.rm(p, recursive=True)
        except FileNotFoundError:
            pass
        return
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        return
    if stat.S_ISDIR(mode):
        shutil.rmtree(path, ignore_errors=True)  # does not follow links inside
    else:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def discard_record(tmp) -> None:
    remove_tree(str(tmp))


def tidy(store: str) -> None:
    """Remove the temporary and lock folders once nothing is left in them."""
    if url_scheme(store) is not None:
        return
    for sub in (PARTIAL, LOCKS):
        try:
            os.rmdir(os.path.join(store, sub))
        except OSError:
            pass


def stored_objects(array, span: Optional[int] = None) -> list:
    """[(index along time, key)] of the objects of a channels x time array
    that exist in its store (chunks, or shards of `span` samples), in index
    order. Found by listing the store, so a forged shape costs nothing:
    callers count the missing ones from the shape."""
    from zarr.core.sync import sync

    span = span or array.chunks[1]
    n_objects = -(-array.shape[1] // span) if array.shape[1] else 0
    prefix = f"{array.path}/"

    async def listed():
        return [k async for k in array.store.list_prefix(prefix)]

    found = []
    for key in sync(listed()):
        suffix = key[len(prefix):] if key.startswith(prefix) else key
        k = _chunk_index(suffix)
        if k is not None and 0 <= k < n_objects and array.metadata.encode_chunk_key((0, k)) == suffix:
            found.append((k, key))
    return sorted(found)


def object_size(array, key: str) -> Optional[int]:
    from zarr.core.sync import sync

    try:
        return int(sync(array.store.getsize(key)))
    except FileNotFoundError:
        return None


def chunk_files(array) -> Iterator[tuple]:
    """(chunk index along time, raw bytes) for each chunk of a channels x
    time array that exists in its store, in index order."""
    from zarr.core.buffer import default_buffer_prototype
    from zarr.core.sync import sync

    proto = default_buffer_prototype()
    for k, key in stored_objects(array):
        buf = sync(array.store.get(key, prototype=proto))
        if buf is not None:
            yield k, buf.to_bytes()


def _chunk_index(suffix: str) -> Optional[int]:
    """k of a chunk key (0, k) in the default or the v2 encoding."""
    parts = re.split(r"[/.]", suffix)
    if parts and parts[0] == "c":
        parts = parts[1:]
    if len(parts) != 2 or parts[0] != "0" or not parts[1].isdigit():
        return None
    return int(parts[1])


# Claims: a lock file per record name, locked with `flock` by the process
# converting that record. The kernel drops the lock when the process ends,
# however it ends, so a killed run never leaves a claim that blocks the
# next one, and no guess about stale process ids is needed. A released
# claim unlinks its file while still holding the lock; a process that
# opened the old file in the meantime sees that its file is no longer the
# one at the path and tries again.

@dataclass
class Claim:
    fd: Optional[int]
    path: Optional[str]
    busy: Optional[str] = None  # who holds the record, when this process does not

    @property
    def held(self) -> bool:
        return self.busy is None

    def release(self) -> None:
        fd, self.fd = self.fd, None
        if fd is None:
            return
        try:
            if _same_file(fd, self.path):
                os.unlink(self.path)
        finally:
            os.close(fd)


def _same_file(fd: int, path: str) -> bool:
    try:
        here = os.stat(path, follow_symlinks=False)
    except FileNotFoundError:
        return False
    mine = os.fstat(fd)
    return (here.st_dev, here.st_ino) == (mine.st_dev, mine.st_ino)


def claim(folder: str, name: str, attempts: int = 5, *, wait: bool = False) -> Claim:
    """Lock `folder/name.lock` for this process, or say who holds it
    (`wait`: until the holder releases it)."""
    path = os.path.join(folder, f"{name}.lock")
    for _ in range(attempts):
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX if wait else fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            try:
                holder = os.pread(fd, 200, 0).decode(errors="replace").strip() or "another run"
            finally:
                os.close(fd)
            return Claim(None, None, f"being converted by {holder}")
        if not _same_file(fd, path):  # released and unlinked between open and lock
            os.close(fd)
            continue
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"process {os.getpid()} on {socket.gethostname()}".encode(), 0)
        return Claim(fd, path)
    raise OSError(f"{path}: could not take the record's lock")
