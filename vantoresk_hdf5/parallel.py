"""Writing and reading a dataset's chunks on several threads.

h5py runs a filter on one thread. `write_parallel` encodes the chunks itself
on a thread pool, with the plugin's own encoder (so the stored bytes are the
ones the filter would store), and hands each finished chunk to HDF5 with a
direct chunk write, in order, from the calling thread; `read_parallel` reads
stored chunks directly on the calling thread and decodes them on the pool.
At most a few chunks per worker are in flight, so memory stays bounded on
long recordings.
"""

from __future__ import annotations

import itertools
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Iterator, Optional, Sequence, Tuple

import h5py
import numpy as np

from ._plugin import FILTER_ID, decode_chunk, encode_chunk


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
    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="vantoresk-hdf5") as pool:
        for start, frame in _in_order(pool, encode, starts, 2 * workers):
            dset.id.write_direct_chunk(start, frame, filter_mask=0)


def _in_order(pool: ThreadPoolExecutor, work, items: Iterator, window: int):
    """Results of `work` over `items`, in order, with at most `window` submitted ahead."""
    pending = [pool.submit(work, item) for item in itertools.islice(items, window)]
    while pending:
        result = pending.pop(0).result()
        nxt = next(items, None)
        if nxt is not None:
            pending.append(pool.submit(work, nxt))
        yield result


def read_parallel(dset: h5py.Dataset, selection: Optional[Tuple[slice, ...]] = None,
                  workers: Optional[int] = None) -> np.ndarray:
    """`dset[selection]` (contiguous slices; default everything), decoding chunks on `workers` threads."""
    cd = _dataset_filter(dset)
    selection = tuple(slice(None) for _ in dset.shape) if selection is None else tuple(selection)
    if len(selection) != dset.ndim or not all(isinstance(s, slice) for s in selection):
        raise ValueError(f"selection must be {dset.ndim} slices")
    bounds = [s.indices(n) for s, n in zip(selection, dset.shape)]
    if any(step != 1 for _, _, step in bounds):
        raise ValueError("read_parallel reads contiguous slices (step 1)")
    lo = tuple(b[0] for b in bounds)
    hi = tuple(max(b[0], b[1]) for b in bounds)
    stored, fill, chunks = dset.dtype, dset.fillvalue, tuple(dset.chunks)
    out = np.empty(tuple(h - l for l, h in zip(lo, hi)), dtype=stored)
    if out.size == 0:
        return out
    workers = max(1, int(workers if workers is not None else (os.cpu_count() or 1)))
    first = tuple(l - l % c for l, c in zip(lo, chunks))
    starts = _chunk_starts(first, tuple(h - f for h, f in zip(hi, first)), chunks)

    def fetch(start: Tuple[int, ...]):
        # Runs on the calling thread: HDF5 reads the stored bytes.
        info = dset.id.get_chunk_info_by_coord(start)
        if info.byte_offset is None:
            return start, None, 0
        mask, frame = dset.id.read_direct_chunk(start)
        return start, frame, mask

    def place(item) -> None:
        start, frame, mask = item
        if frame is None:
            chunk = np.full(chunks, fill, dtype=stored)
        elif mask & 1:  # stored without the filter
            chunk = np.frombuffer(frame, dtype=stored).reshape(chunks)
        else:
            chunk = decode_chunk(cd, frame, stored, chunks)
        src = tuple(slice(max(l, s) - s, min(h, s + c) - s) for l, h, s, c in zip(lo, hi, start, chunks))
        dst = tuple(slice(max(l, s) - l, min(h, s + c) - l) for l, h, s, c in zip(lo, hi, start, chunks))
        out[dst] = chunk[src]

    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="vantoresk-hdf5") as pool:
        for _ in _in_order(pool, place, (fetch(s) for s in starts), 2 * workers):
            pass
    return out
