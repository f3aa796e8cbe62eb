"""Where the recordings are: the one lookup that examples, benchmarks and
tests share.

In order:
  1. the folder named by $VANTORESK_DATA;
  2. `shared/data` beside the checkout (../shared/data from the repository's
     root), unless $VANTORESK_NO_SHARED is set;
  3. the short excerpts committed in examples/data.
A folder counts only when it holds the file asked for. The answer says which
of the three it was, so that a figure is never quoted for the wrong data.
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

REPO = Path(__file__).resolve().parent.parent
EXCERPTS = REPO / "examples" / "data"

FROM_ENV = "$VANTORESK_DATA"
BESIDE_CHECKOUT = "../shared/data beside the checkout"
IN_REPOSITORY = "the excerpts in examples/data"


@dataclass(frozen=True)
class DataFolder:
    path: Path
    source: str  # FROM_ENV, BESIDE_CHECKOUT or IN_REPOSITORY

    @property
    def excerpts(self) -> bool:
        """True for the short in-repository stand-ins."""
        return self.source == IN_REPOSITORY

    def __str__(self) -> str:
        return f"{self.path} ({self.source})"


def shared_candidate(root: Path = REPO) -> Path:
    """The shared folder's place beside a checkout at `root`."""
    return root.parent / "shared" / "data"


def data_folder(needs: str = "mitdb100_mlii.npy", root: Path = REPO,
                announce: bool = False) -> DataFolder:
    """The first folder of the three that holds `needs`; with `announce`, a
    line on stderr says which was used."""
    found = _first(needs, root)
    if announce:
        print(f"recordings: {found}", file=sys.stderr)
    return found


def _first(needs: str, root: Path) -> DataFolder:
    named: Optional[str] = os.environ.get("VANTORESK_DATA")
    if named:
        if (Path(named) / needs).is_file():
            return DataFolder(Path(named), FROM_ENV)
        print(f"note: $VANTORESK_DATA={named} has no {needs}; looking further", file=sys.stderr)
    if not os.environ.get("VANTORESK_NO_SHARED"):
        shared = shared_candidate(root)
        if (shared / needs).is_file():
            return DataFolder(shared, BESIDE_CHECKOUT)
    return DataFolder(root / "examples" / "data", IN_REPOSITORY)
