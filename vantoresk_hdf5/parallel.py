"""Writing a dataset's chunks on several threads.

h5py runs a filter on one thread. `write_parallel` encodes the chunks itself
on a thread pool, with the plugin's own encoder (so the stored bytes are the
ones the filter would store), and hands each finished chunk to HDF5 with a
direct chunk write, in order, from the calling thread. At most a few chunks
per worker are in flight, so memory stays bounded on long recordings.
"""

from __future__ import annotations

import itertools
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Iterator, Optional, Sequence, Tuple

import h5py
import numpy as np

from ._plugin import FILTER_ID, encode_chunk


def _dataset_filter(dset: h5py.Dataset) -> Tuple[int, ...]:
    """The dataset's stored filter parameters; refuses datasets the helper cannot write."""
    if dset.chunks is None:
        raise ValueError("write_parallel needs a chunked dataset")
    plist = dset.id.get_create_plist()
    filters = [plist.get_filter(i)[0] for i in range(plist.get_nfilters())]
    if filters != [FILTER_ID]:
        raise ValueError("write_parallel writes datasets whose only filter is vantoresk "
                         f"(this one has filters {filters})")
    return tuple(plist.get_filter_by_id(FILTER_ID)[1])


def _chunk_starts(offset: Sequence[int], shape: Sequence[int], chunks: Sequence[int]) -> Iterator[Tuple[int, ...]]:
    ranges = [range(o, o + n, c) for o, n, c in zip(offset, shape, chunks)]
    return itertools.product(*ranges)


def write_parallel(dset: h5py.Dataset, data: np.ndarray, offset: Optional[Sequence[int]] = None,
                   workers: Optional[int] = None) -> None:
    """Writes `data` into `dset` at `offset` (default: the origin), encoding chunks on `workers` threads.

    The region must start on chunk boundaries and end on one or at the
    dataset's edge, so that every chunk it touches is written whole; the part
    of an edge chunk beyond the dataset holds the fill value, as HDF5 writes it.
    """
    cd = _dataset_filter(dset)
    data = np.asarray(data)
    if data.ndim != dset.ndim:
        raise ValueError(f"data has {data.ndim} dimensions, the dataset {dset.ndim}")
    offset = tuple(0 for _ in dset.shape) if offset is None else tuple(int(o) for o in offset)
    if len(offset) != dset.ndim:
        raise ValueError(f"offset has {len(offset)} entries for a dataset of {dset.ndim} dimensions")
    for o, n, c, size in zip(offset, data.shape, dset.chunks, dset.shape):
        if o < 0 or o + n > size:
            raise ValueError(f"a region of shape {data.shape} at {offset} does not fit a dataset of shape {dset.shape}")
        if o % c or ((o + n) % c and o + n != size):
            raise ValueError(f"the region must start and end on chunk boundaries (chunks {dset.chunks}) "
                             "or end at the dataset's edge")
    # Everything the workers need is read here: they make no HDF5 calls.
    stored = dset.dtype  # the file's type, byte order included
    fill = dset.fillvalue
    chunks = tuple(dset.chunks)
    workers = max(1, int(workers if workers is not None else (os.cpu_count() or 1)))

    def encode(start: Tuple[int, ...]) -> Tuple[Tuple[int, ...], bytes]:
        local = tuple(slice(s - o, min(s - o + c, n)) for s, o, c, n in zip(start, offset, chunks, data.shape))
        piece = data[local]
        if piece.shape == chunks:
            chunk = np.ascontiguousarray(piece, dtype=stored)
        else:
            chunk = np.full(chunks, fill, dtype=stored)
            chunk[tuple(slice(0, n) for n in piece.shape)] = piece
        return start, encode_chunk(cd, chunk)

    starts = _chunk_starts(offset, data.shape, chunks)
    window = 2 * workers
    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="vantoresk-hdf5") as pool:
        pending = [pool.submit(encode, s) for s in itertools.islice(starts, window)]
        while pending:
            start, frame = pending.pop(0).result()
            nxt = next(starts, None)
            if nxt is not None:
                pending.append(pool.submit(encode, nxt))
            dset.id.write_direct_chunk(start, frame, filter_mask=0)
