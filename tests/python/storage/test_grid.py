"""Exact grid lanes (kind 4): scaled ADC samples come back bit for bit, in a few bits each."""

from __future__ import annotations

import struct
import zlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from storage_helpers import SHARED, same_bits
from vantoresk_zarr import decode_lanes, encode_lanes, inspect_frame


def adc_lane(bits: int, n: int = 4000, *, baseline: float = 0.0, gain: float = 200.0, dtype=np.float32,
             seed: int = 0) -> np.ndarray:
    """A random walk over a `bits`-bit ADC range, scaled as recordings are: (digital - baseline) / gain."""
    rng = np.random.default_rng(seed)
    top = 2 ** (bits - 1)
    digital = np.clip(np.cumsum(rng.integers(-40, 41, n)) + rng.integers(-top // 2, top // 2), -top, top - 1)
    return ((digital - baseline) / gain).astype(dtype)


def exact_lane(x: np.ndarray):
    """The lane stored exactly (max_abs_error=0), checked to decode to the same bits."""
    out = encode_lanes(x[None], max_abs_error=0)
    assert same_bits(decode_lanes(out)[0], x)
    return inspect_frame(out).lanes[0]


def exact_round_trip(x: np.ndarray) -> str:
    return exact_lane(x).kind


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("bits,baseline,gain", [
    (11, 1024, 200.0),                  # format 212 ECG
    (12, 0, 2963.77),                   # a gain with many digits
    (16, 0, 2000.0),
    (16, -0.5 - 32768 * 0.37, 523.97),  # EDF: the baseline falls between two levels
    (24, 1.25, 8388.607),
])
def test_scaled_adc_lanes_are_grid_lanes_and_come_back_exactly(dtype, bits, baseline, gain):
    x = adc_lane(bits, baseline=baseline, gain=gain, dtype=dtype)
    lane = exact_lane(x)
    # On the grid: as grid differences, or through the level coder on the grid.
    assert lane.kind in ("grid", "near-lossless") and lane.lossless
    assert lane.nbytes < x.nbytes / 2  # a few bits a sample, not a float's worth


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("damage", ["off-grid", "signed-zero", "huge", "every-22nd-level"])
def test_grid_lanes_with_strays_stay_exact(dtype, damage):
    x = adc_lane(16, gain=523.97, dtype=dtype, seed=1)
    if damage == "off-grid":
        x[[5, 700, 2100]] = dtype(0.123456789)
    elif damage == "signed-zero":
        x[::50] = 0.0
        x[25::50] = -0.0
    elif damage == "huge":
        x[[3, 9]] = [np.finfo(dtype).max, -np.finfo(dtype).tiny]
    else:
        x = (np.round(x.astype(np.float64) * 523.97 / 22) * 22 / 523.97).astype(dtype)
    assert exact_round_trip(x) in ("grid", "near-lossless")


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("make", [
    lambda rng: rng.standard_normal(3000),
    lambda rng: np.exp(rng.uniform(-30, 30, 3000)),
    lambda rng: np.sin(np.arange(3000) * 0.1) * 1e-3 + rng.standard_normal(3000) * 1e-9,
], ids=["noise", "wide-exponents", "smooth-off-grid"])
def test_data_on_no_grid_falls_back_to_the_other_exact_kinds(dtype, make):
    x = make(np.random.default_rng(2)).astype(dtype)
    assert exact_round_trip(x) in ("raw", "shuffled", "deflate")


@st.composite
def grid_like(draw):
    """Scaled integers with any offset and step, some samples replaced by arbitrary finite values."""
    dtype = np.dtype(draw(st.sampled_from([np.float32, np.float64])))
    width = 8 * dtype.itemsize
    k = draw(hnp.arrays(np.int64, draw(st.integers(2, 300)), elements=st.integers(-2**20, 2**20)))
    a = draw(st.floats(-1e6, 1e6))
    b = draw(st.floats(1e-9, 1e3))
    x = (a + b * k).astype(dtype)
    strays = draw(st.lists(st.tuples(st.integers(0, x.size - 1), st.floats(allow_nan=False, allow_infinity=False,
                                                                           width=width)), max_size=5))
    for i, v in strays:
        x[i] = v
    return x


@settings(max_examples=150, deadline=None)
@given(grid_like())
def test_any_exact_lane_decodes_to_the_same_bits(x):
    exact_lane(x)


@pytest.mark.parametrize("dtype", ["<f4", ">f4", "<f8", ">f8"])
def test_nonfinite_runs_inside_grid_lanes(dtype):
    x = np.stack([adc_lane(16, gain=523.97, seed=s, dtype=np.dtype(dtype).newbyteorder("=")) for s in (3, 4)])
    x = x.astype(dtype)
    x[0, 100:140] = np.nan
    x[0, 0] = -np.inf
    x[1, -5:] = np.inf
    out = encode_lanes(x, max_prdn=1e-9)
    assert all(lane.kind in ("grid", "near-lossless") and lane.lossless for lane in inspect_frame(out).lanes)
    assert [lane.nonfinite for lane in inspect_frame(out).lanes] == [41, 5]
    assert same_bits(decode_lanes(out), x)


@pytest.mark.parametrize("name,step", [
    ("eegmat_s00r1_fz", 125.37997 / 65535),
    ("ptbdb_s0010re_ii", 0.0005),
    ("mimicdb03700181_mcl1", 1 / 2963.77),
    ("mitdb100_mlii", 0.005),
])
def test_shared_records_at_their_adc_step_are_stored_as_grid_lanes(name, step):
    path = SHARED / f"{name}.npy"
    if not path.exists():
        pytest.skip(f"{path} is not here")
    x = np.load(path)[:30000]
    exact = encode_lanes(x[None], max_abs_error=0)
    lane = inspect_frame(exact).lanes[0]
    assert lane.kind in ("grid", "near-lossless") and lane.lossless
    assert same_bits(decode_lanes(exact)[0], x)
    assert len(exact) < x.nbytes / 3
    # One step of error allowed: never larger than the exact lane (smaller where
    # the recording uses neighbouring levels; one that skips levels stays exact).
    out = encode_lanes(x[None], max_abs_error=step)
    assert inspect_frame(out).lanes[0].kind in ("near-lossless", "grid") and len(out) <= len(exact)
    assert np.max(np.abs(decode_lanes(out)[0].astype(np.float64) - x)) <= step


# --- damaged grid bodies ----------------------------------------------------------------

N = 500
SOURCE = adc_lane(16, N, gain=523.97, seed=5)
SOURCE[[7, 300]] = np.float32(0.1)  # some corrections, so both streams are there
GOOD = encode_lanes(SOURCE[None], max_prdn=1e-9)
BODY_AT = 12 + 8 * 2 + 4 + 8  # header, shape, lane table, lane head; no runs


def reseal(data: bytes) -> bytes:
    return data + struct.pack("<I", zlib.crc32(data))


def forged(edit) -> bytes:
    body = bytearray(GOOD[BODY_AT:-4])
    body = edit(body)
    head = bytearray(GOOD[:BODY_AT])
    head[12 + 16 : 12 + 20] = struct.pack("<I", 8 + len(body))
    return reseal(bytes(head) + bytes(body))


def poke(offset: int, value: bytes):
    def edit(body: bytearray) -> bytearray:
        body[offset : offset + len(value)] = value
        return body
    return edit


def test_the_damage_cases_start_from_a_good_grid_frame():
    assert inspect_frame(GOOD).lanes[0].kind == "grid"
    assert GOOD[BODY_AT + 18] != 0  # corrections present
    assert same_bits(decode_lanes(forged(lambda b: b))[0], SOURCE)


DLEN = struct.unpack_from("<I", GOOD, BODY_AT + 20)[0]


def corrections(count: int, gaps, values, width: int = 4):
    """Replace the correction part with `count`, then DEFLATE'd gaps and values as the format lays them out."""
    def edit(body: bytearray) -> bytearray:
        raw = np.asarray(gaps, "<u4").view(np.uint8).reshape(-1, 4).T.tobytes()
        raw += np.asarray(values, f"<u{width}").view(np.uint8).reshape(-1, width).T.tobytes()
        packer = zlib.compressobj(6, zlib.DEFLATED, -15)
        body[18] = width
        return body[: 24 + DLEN] + struct.pack("<I", count) + packer.compress(raw) + packer.flush()
    return edit


@pytest.mark.parametrize("edit,match", [
    (poke(16, b"\x00"), "difference order"),
    (poke(16, b"\x04"), "difference order"),
    (poke(17, b"\x03"), "bad widths"),
    (poke(18, b"\x05"), "bad widths"),
    (poke(18, b"\x08"), "do not fit"),
    (poke(19, b"\x01"), "bad widths"),
    (poke(20, struct.pack("<I", 2**31)), "stream lengths"),
    (poke(20, struct.pack("<I", 1)), "difference stream"),
    (poke(18, b"\x00"), "stream lengths"),
    (poke(17, b"\x08"), "difference stream"),
    (lambda b: b[:10], "does not hold"),
    (lambda b: b[: 24 + DLEN + 2], "correction count"),
    (lambda b: b + b"\x00", "correction stream does not hold"),
    (lambda b: b[:24] + bytes(len(b) - 24), "difference"),
    (corrections(0, [], []), "0 corrections"),
    (corrections(N + 1, [1] * (N + 1), [2] * (N + 1)), "corrections in a lane"),
    (corrections(2**32 - 1, [1], [2]), "corrections in a lane"),
    (corrections(3, [4, 0, 5], [2, 2, 2]), "out of order"),
    (corrections(2, [4, N], [2, 2]), "beyond the lane"),
    (corrections(2, [4, 5], [2, 2, 2]), "correction stream does not hold"),
    (corrections(3, [4, 5], [2, 2]), "correction stream does not hold"),
], ids=["order-0", "order-4", "width-3", "cwidth-5", "cwidth-8-for-f4", "reserved", "dlen-huge", "dlen-1",
        "no-corrections-but-bytes", "wider-differences", "short-header", "no-count", "trailing-byte",
        "zeroed-streams", "count-0", "count-over-length", "count-huge", "indices-repeat", "index-past-end",
        "stream-longer-than-count", "stream-shorter-than-count"])
def test_damaged_grid_bodies_raise_value_error(edit, match):
    damaged = forged(edit)
    with pytest.raises(ValueError, match=f"not a valid vantoresk frame.*({match})"):
        decode_lanes(damaged)


def test_hand_made_corrections_are_applied_where_they_say():
    def without(body: bytearray) -> bytearray:
        body[18] = 0
        return body[: 24 + DLEN]
    base = decode_lanes(forged(without))[0].view(np.uint32).astype(np.int64)
    got = decode_lanes(forged(corrections(2, [3, 4], [2, 1])))[0].view(np.uint32).astype(np.int64)
    assert (got - base)[[3, 7]].tolist() == [1, -1]
    assert np.count_nonzero(got - base) == 2


def test_every_bit_flip_of_a_grid_body_is_refused_or_decodes_to_the_right_length():
    # The checksum catches flips in stored frames; behind it, the parser must never crash.
    body = GOOD[BODY_AT:-4]
    for pos in range(0, len(body), 3):
        def flip(b: bytearray, pos=pos) -> bytearray:
            b[pos] ^= 0x24
            return b
        try:
            values = decode_lanes(forged(flip))
        except ValueError as exc:
            assert "not a valid vantoresk frame" in str(exc)
        else:
            assert values.shape == (1, N) and values.dtype == np.float32
