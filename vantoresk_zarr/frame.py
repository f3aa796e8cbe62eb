"""The lane frame: our stored format for one N-D chunk.

A frame holds an N-D float32 or float64 array cut into 1-D lanes along one
axis, each lane coded on its own. It is written once and read for as long as
the store lives, so version 1 below is frozen: readers must keep decoding it
byte for byte, and any change gets a new version number.

All integers are little-endian.

Frame, version 1::

    offset  size        field
    0       4           magic b"VNLF"
    4       1           version, 1
    5       3           dtype as NumPy spells it: b"<f4", b">f4", b"<f8" or b">f8"
    8       1           memory order, b"C" or b"F"
    9       1           ndim, 1 to 32
    10      1           axis, 0 to ndim - 1 (the lane axis)
    11      1           reserved, 0
    12      8 * ndim    shape, u64 each
    ...     4 * lanes   byte length of each lane record, u32 each
    ...                 the lane records, one after the other
    end-4   4           CRC-32 (zlib's) of every byte before it

The lanes are the 1-D slices along `axis`, in C order over the other
dimensions: lane count = product of the other dimensions, lane length =
shape[axis]. Lane record::

    0       1           body kind: 0 container, 1 raw values, 2 shuffled DEFLATE,
                        3 DEFLATE, 4 grid
    1       3           reserved, 0
    4       4           number of non-finite runs R, u32
    8       R * (8 + s) runs: start u32, length u32, the value's bits (s bytes,
                        little-endian, s = itemsize); every sample of a run has
                        exactly those bits
    ...                 body

Bodies: kind 0 is one `compress_signal` container of the lane (decoded to
float32, then cast to the frame's dtype); kind 1 is the lane's values,
little-endian at the frame's itemsize; kind 2 is the same bytes shuffled
(all first bytes of the values, then all second bytes, ...) and compressed
as raw DEFLATE; kind 3 is the kind 1 bytes compressed as raw DEFLATE
(recordings on an ADC grid repeat exact values, which DEFLATE finds
unshuffled); kind 4 holds the values as integers k on an affine grid,
value = dtype(a + b * k) computed in float64, with a per-sample correction
of the bits (scaled ADC samples take a few bits each, see below). Kinds 1
to 4 are exact. In every body the non-finite samples are replaced by a
finite neighbour; the runs put them back, bit for bit, after the body is
decoded.

Grid body (kind 4)::

    0       8           a, float64
    8       8           b, float64
    16      1           order p, 1 to 3: the k are stored as their p-th differences,
                        with k = 0 before the lane's start
    17      1           width of a difference in bytes: 1, 2, 4 or 8
    18      1           width of a correction in bytes: 0 (all corrections are 0),
                        1, 2, 4 or 8 (at most the itemsize)
    19      1           reserved, 0
    20      4           byte length L of the difference stream, u32
    24      L           the differences, zigzag-coded (0, -1, 1, -2, ... as 0, 1, 2,
                        3, ...) at their width, byte-shuffled, raw DEFLATE
    24+L    4           number M of corrected samples, 1 to the lane length, u32
                        (this field and the next only when the correction width is not 0)
    28+L    ...         raw DEFLATE of: the M corrected samples' indices as first
                        differences (the first from 0), u32 each, byte-shuffled;
                        then their M corrections, zigzag-coded at their width,
                        byte-shuffled

Sample i decodes to the bits of dtype(a + b * k[i]), plus its correction
when it has one, both as unsigned integers of the itemsize, modulo
2 ** (8 * itemsize). The indices increase strictly; no byte follows the last
stream.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass
from typing import Sequence, Tuple

import numpy as np

from . import grid

MAGIC = b"VNLF"
VERSION = 1
MAX_NDIM = 32
MAX_LANE_LENGTH = 2**31 - 1
_DEFLATE_FROM = 64  # below this many bytes DEFLATE rarely beats the values themselves
MAX_ELEMENTS = 2**48  # far beyond any chunk; keeps forged shapes away from NumPy's size limits
_U32 = struct.Struct("<I")
_LANE_HEAD = struct.Struct("<B3sI")
_RUN = struct.Struct("<II")
_DTYPES = {b"<f4": np.dtype("<f4"), b">f4": np.dtype(">f4"), b"<f8": np.dtype("<f8"), b">f8": np.dtype(">f8")}

KIND_CONTAINER = 0
KIND_RAW = 1
KIND_SHUFFLED = 2
KIND_DEFLATE = 3
KIND_GRID = 4
KIND_NAMES = {KIND_CONTAINER: "container", KIND_RAW: "raw", KIND_SHUFFLED: "shuffled", KIND_DEFLATE: "deflate",
              KIND_GRID: "grid"}

# A run: (start, length, the value's bits as an unsigned integer).
Run = Tuple[int, int, int]


def dtype_code(dtype: np.dtype) -> bytes:
    """The 3-byte dtype field for a float32 or float64 dtype of either byte order."""
    dt = np.dtype(dtype)
    if dt.kind != "f" or dt.itemsize not in (4, 8):
        raise ValueError(f"vantoresk frames hold float32 or float64 data, not {dt}")
    big = dt.byteorder == ">" or (dt.byteorder == "=" and not np.little_endian)
    return f"{'>' if big else '<'}f{dt.itemsize}".encode()


@dataclass(frozen=True)
class FrameHeader:
    """The fixed part of a frame."""

    dtype: np.dtype
    order: str
    shape: Tuple[int, ...]
    axis: int

    @property
    def lane_length(self) -> int:
        return self.shape[self.axis]

    @property
    def lane_count(self) -> int:
        return int(np.prod([d for i, d in enumerate(self.shape) if i != self.axis], dtype=object))


@dataclass(frozen=True)
class LaneRecord:
    """One lane as stored: body kind, non-finite runs and the body bytes."""

    kind: int
    runs: Tuple[Run, ...]
    body: bytes


def pack_frame(head: FrameHeader, lanes: Sequence[bytes]) -> bytes:
    """Assemble a frame from its header and the packed lane records."""
    parts = [MAGIC + bytes([VERSION]) + dtype_code(head.dtype) + head.order.encode()
             + bytes([len(head.shape), head.axis, 0])]
    parts.append(struct.pack(f"<{len(head.shape)}Q", *head.shape))
    for lane in lanes:
        if len(lane) > 0xFFFFFFFF:
            raise ValueError("a lane record larger than 4 GiB does not fit in a frame; use smaller chunks")
    parts.append(struct.pack(f"<{len(lanes)}I", *map(len, lanes)))
    parts.extend(lanes)
    body = b"".join(parts)
    return body + _U32.pack(zlib.crc32(body))


def pack_lane(kind: int, body: bytes, *, runs: Sequence[Run], itemsize: int) -> bytes:
    """One lane record."""
    out = [_LANE_HEAD.pack(kind, b"\0\0\0", len(runs))]
    for start, length, bits in runs:
        out.append(_RUN.pack(start, length) + int(bits).to_bytes(itemsize, "little"))
    out.append(body)
    return b"".join(out)


class FrameError(ValueError):
    """A frame that cannot be read: damaged, truncated or not a frame at all."""


def _fail(message: str) -> "FrameError":
    return FrameError(f"not a valid vantoresk frame: {message}")


def read_header(buf: memoryview) -> Tuple[FrameHeader, int]:
    """Check the checksum and parse the fixed part; return it and the offset of the lane table."""
    if len(buf) < 16:
        raise _fail(f"{len(buf)} bytes is too short")
    if bytes(buf[:4]) != MAGIC:
        raise _fail(f"magic should be {MAGIC!r} but it was {bytes(buf[:4])!r}")
    version = buf[4]
    if version != VERSION:
        raise _fail(f"version {version} is not supported by this release (it reads version {VERSION})")
    (crc,) = _U32.unpack_from(buf, len(buf) - 4)
    if zlib.crc32(buf[:-4]) != crc:
        raise _fail("checksum mismatch (the frame is damaged or truncated)")
    code = bytes(buf[5:8])
    if code not in _DTYPES:
        raise _fail(f"unknown dtype {code!r}")
    order = bytes(buf[8:9])
    if order not in (b"C", b"F"):
        raise _fail(f"unknown memory order {order!r}")
    ndim, axis, reserved = buf[9], buf[10], buf[11]
    if not 1 <= ndim <= MAX_NDIM or axis >= ndim or reserved != 0:
        raise _fail(f"bad layout (ndim {ndim}, axis {axis})")
    end = 12 + 8 * ndim
    if end > len(buf) - 4:
        raise _fail("truncated shape")
    shape = struct.unpack_from(f"<{ndim}Q", buf, 12)
    if np.prod([d for d in shape if d], dtype=object) > MAX_ELEMENTS:
        raise _fail(f"shape {shape} is out of range")
    head = FrameHeader(_DTYPES[code], order.decode(), tuple(shape), axis)
    if head.lane_length > MAX_LANE_LENGTH:
        raise _fail(f"lane length {head.lane_length} is out of range")
    return head, end


def split_lanes(buf: memoryview, head: FrameHeader, offset: int) -> Sequence[memoryview]:
    """The lane records' bytes, checked against the lane table."""
    count = head.lane_count
    # A lane-table entry takes 4 bytes: a count beyond the buffer is damage, and
    # checking it first keeps a forged shape from sizing anything.
    if count > (len(buf) - 4 - offset) // 4:
        raise _fail(f"shape {head.shape} needs {count} lanes, more than the frame can hold")
    lengths = struct.unpack_from(f"<{count}I", buf, offset)
    pos = offset + 4 * count
    if pos + sum(lengths) != len(buf) - 4:
        raise _fail("lane lengths do not add up to the frame's size")
    out = []
    for length in lengths:
        out.append(buf[pos : pos + length])
        pos += length
    return out


def read_lane(rec: memoryview, itemsize: int, lane_length: int) -> LaneRecord:
    """Parse one lane record and check its runs."""
    if len(rec) < _LANE_HEAD.size:
        raise _fail("truncated lane record")
    kind, reserved, nruns = _LANE_HEAD.unpack_from(rec, 0)
    if kind not in KIND_NAMES or reserved != b"\0\0\0":
        raise _fail(f"unknown lane kind {kind}")
    step = _RUN.size + itemsize
    pos = _LANE_HEAD.size
    if nruns > (len(rec) - pos) // step:
        raise _fail("truncated non-finite runs")
    runs = []
    last_end = 0
    for _ in range(nruns):
        start, length = _RUN.unpack_from(rec, pos)
        bits = int.from_bytes(rec[pos + _RUN.size : pos + step], "little")
        if length == 0 or start < last_end or start + length > lane_length:
            raise _fail("non-finite run out of place")
        last_end = start + length
        runs.append((start, length, bits))
        pos += step
    return LaneRecord(kind, tuple(runs), bytes(rec[pos:]))


def check_body(lane: LaneRecord, itemsize: int, length: int, index: int) -> None:
    """Refuse a body that cannot hold `length` samples, before anything is sized from it."""
    need = length * itemsize
    if lane.kind == KIND_CONTAINER:
        ok = len(lane.body) >= 52 and _U32.unpack_from(lane.body, 16)[0] == length
    elif lane.kind == KIND_RAW:
        ok = len(lane.body) == need
    elif lane.kind == KIND_GRID:
        ok = grid.plausible(lane.body, length)
    else:  # DEFLATE expands at most 1032-fold
        ok = len(lane.body) > 0 and len(lane.body) * 1032 >= need
    if not ok:
        raise _fail(f"lane {index} does not hold {length} samples")


def _deflate(data: bytes) -> bytes:
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


def exact_body(values: np.ndarray, shuffled: bool = True) -> Tuple[int, bytes]:
    """The smallest exact body for finite `values`: kind 1, 3, 4 or (when `shuffled`) 2."""
    raw = values.astype(values.dtype.newbyteorder("<"), copy=False).tobytes()
    best = (KIND_RAW, raw)
    if len(raw) < _DEFLATE_FROM:
        return best
    on_grid = grid.grid_body(values.astype(values.dtype.newbyteorder("="), copy=False))
    if on_grid is not None and len(on_grid) < len(raw):
        best = (KIND_GRID, on_grid)
    candidates = [(KIND_DEFLATE, raw)]
    if shuffled:
        size = values.dtype.itemsize
        candidates.append((KIND_SHUFFLED, np.frombuffer(raw, np.uint8).reshape(-1, size).T.tobytes()))
    for kind, data in candidates:
        body = _deflate(data)
        if len(body) < len(best[1]):
            best = (kind, body)
    return best


def exact_values(kind: int, body: bytes, dtype: np.dtype, length: int) -> np.ndarray:
    """Decode an exact body (kind 1, 2, 3 or 4) into `length` native values of `dtype`."""
    if kind == KIND_GRID:
        try:
            return grid.grid_values(body, dtype, length)
        except grid.GridError as exc:
            raise FrameError(str(exc)) from None
    le = np.dtype(dtype).newbyteorder("<")
    need = length * le.itemsize
    if kind in (KIND_SHUFFLED, KIND_DEFLATE):
        unpacker = zlib.decompressobj(-15)
        try:
            raw = unpacker.decompress(body, max(need, 1))  # 0 would mean "no limit"
        except zlib.error as exc:
            raise _fail(f"lossless lane: {exc}") from None
        if len(raw) != need or unpacker.unconsumed_tail or not unpacker.eof:
            raise _fail("lossless lane does not hold the lane's length")
        raw = np.frombuffer(raw, np.uint8)
        if kind == KIND_SHUFFLED:
            raw = raw.reshape(le.itemsize, length).T.copy()
    else:
        if len(body) != need:
            raise _fail("raw lane does not hold the lane's length")
        raw = np.frombuffer(body, np.uint8)
    return raw.view(le).reshape(length).astype(np.dtype(dtype).newbyteorder("="))


def runs_total(runs: Sequence[Run]) -> int:
    """How many samples the runs cover."""
    return sum(length for _, length, _ in runs)
