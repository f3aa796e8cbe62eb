"""Per-record claims: a lock file per record name, locked with `flock` by
the process converting that record. The kernel drops the lock when the
process ends, however it ends, so a killed run never leaves a claim that
blocks the next one, and no guess about stale process ids is needed.

A released claim unlinks its file while still holding the lock; a process
that opened the old file in the meantime sees that its file is no longer
the one at the path and tries again.
"""

from __future__ import annotations

import fcntl
import os
import socket
from dataclasses import dataclass
from typing import Optional


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
