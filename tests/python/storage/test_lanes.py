"""The lane codec without Zarr: round trips, non-finite samples, layout and `out`."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from storage_helpers import ecg_60s, same_bits
from vantoresk_zarr import decode_lanes, encode_lanes, inspect_frame

SPECIALS = [np.nan, np.inf, -np.inf, -np.nan]


@st.composite
def chunks(draw):
    """N-D float chunks of either dtype, byte order and memory order, some non-finite samples."""
    dtype = np.dtype(draw(st.sampled_from(["<f4", ">f4", "<f8", ">f8"])))
    ndim = draw(st.integers(1, 3))
    axis = draw(st.integers(-ndim, ndim - 1))
    shape = [draw(st.integers(1, 4)) for _ in range(ndim)]
    shape[axis] = draw(st.integers(1, 70))
    values = st.floats(-1e5, 1e5, width=8 * min(dtype.itemsize, 4)) | st.sampled_from(SPECIALS)
    arr = draw(hnp.arrays(dtype, tuple(shape), elements=values))
    if draw(st.booleans()):
        arr = np.asfortranarray(arr)
    return arr, axis


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(chunks(), st.sampled_from([1e-3, 0.5]))
def test_round_trip_keeps_layout_nonfinite_and_target(case, target):
    arr, axis = case
    out = decode_lanes(encode_lanes(arr, axis=axis, max_abs_error=target))
    assert out.dtype == arr.dtype and out.shape == arr.shape
    f_only = arr.flags.f_contiguous and not arr.flags.c_contiguous
    assert out.flags.f_contiguous if f_only else out.flags.c_contiguous
    bad = ~np.isfinite(arr)
    assert same_bits(out[bad], arr[bad])
    ok = ~bad
    assert np.all(np.abs(out[ok].astype(np.float64) - arr[ok].astype(np.float64)) <= target)


@pytest.mark.parametrize("lane", [
    [np.nan] * 50,                                       # all NaN
    [np.inf, -np.inf, np.nan, 1.0] * 25,                 # mixed specials between finite samples
    [np.nan] * 10 + list(np.linspace(-1, 1, 90)),        # leading gap
    list(np.linspace(-1, 1, 90)) + [-np.inf] * 10,       # trailing gap
    [3.25] * 200,                                        # constant
    [-0.0] * 3 + [np.nan] + [0.0] * 3,                   # signed zeros, short lane
], ids=["all-nan", "mixed", "leading", "trailing", "constant", "short"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_special_lanes_come_back_bit_for_bit_where_exactness_is_promised(lane, dtype):
    arr = np.array([lane, lane[::-1]], dtype=dtype)
    # NaN payloads other than the default must survive too.
    arr.view({4: np.uint32, 8: np.uint64}[arr.itemsize])[0, np.isnan(arr[0])] |= 0x5
    out = decode_lanes(encode_lanes(arr, max_abs_error=1e-6))
    bad = ~np.isfinite(arr)
    assert same_bits(out[bad], arr[bad])
    assert np.all(np.abs(out[~bad].astype(np.float64) - arr[~bad]) <= 1e-6)
    info = inspect_frame(encode_lanes(arr))
    assert [l.nonfinite for l in info.lanes] == [int(b.sum()) for b in bad]


def test_nonfinite_samples_do_not_stretch_the_range():
    ecg = ecg_60s()[0]
    gappy = ecg.copy()
    gappy[1000:1500] = np.nan
    gappy[5000] = np.inf
    clean = decode_lanes(encode_lanes(ecg[None], scale=9))[0]
    holed = decode_lanes(encode_lanes(gappy[None], scale=9))[0]
    keep = np.isfinite(gappy)
    err_clean = np.max(np.abs(clean - ecg)[keep])
    err_holed = np.max(np.abs(holed - ecg)[keep])
    assert err_holed <= 1.5 * err_clean  # an inf coded as 1.0 or a NaN as 0 would not keep this


@pytest.mark.parametrize("shape,axis", [((3, 5, 40), 0), ((3, 5, 40), 1), ((3, 5, 40), -1), ((40,), 0)])
def test_lanes_follow_the_axis_in_c_order(shape, axis):
    # Each lane is constant with its own value, so a lane mixed up with
    # another (or cut across the axis) cannot decode exactly.
    lanes = np.moveaxis(np.zeros(shape), axis, -1)
    lanes[...] = np.arange(lanes[..., 0].size).reshape(lanes.shape[:-1] + (1,))
    arr = np.moveaxis(lanes, -1, axis).astype(np.float32)
    frame = encode_lanes(arr, axis=axis)
    info = inspect_frame(frame)
    assert info.axis == axis % len(shape) and len(info.lanes) == arr.size // shape[axis]
    assert all(l.length == shape[axis] for l in info.lanes)
    assert np.array_equal(decode_lanes(frame), arr)


def test_inspect_reports_each_lanes_settings():
    ecg = ecg_60s()
    short = np.ones((1, 3), np.float32)
    frame = encode_lanes(ecg, method="db4", scale=9, coder="deflate")
    info = inspect_frame(frame)
    assert (info.dtype, info.shape, info.order, info.axis, info.nbytes) == (np.float32, ecg.shape, "C", 1, len(frame))
    assert [(l.method, l.scale, l.coder, l.lossless) for l in info.lanes] == [("db4", 9, "deflate", False)] * 2
    assert sum(l.nbytes for l in info.lanes) < len(frame)
    tiny = inspect_frame(encode_lanes(short)).lanes[0]
    assert tiny.lossless and tiny.method is None and tiny.scale is None and tiny.coder is None


@pytest.mark.parametrize("make_out", [
    lambda a: np.empty_like(a),
    lambda a: np.empty(a.size, a.dtype),
    lambda a: bytearray(a.nbytes),
    lambda a: np.empty(a.nbytes, np.uint8),
], ids=["same-shape", "flat", "bytearray", "bytes-array"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_decode_fills_out(make_out, order):
    arr = np.asarray(np.random.default_rng(1).normal(size=(3, 50)), dtype=np.float64, order=order)
    frame = encode_lanes(arr, axis=0, scale=12)
    want = decode_lanes(frame)
    out = make_out(arr)
    assert decode_lanes(frame, out=out) is out
    got = np.frombuffer(out, np.float64) if isinstance(out, bytearray) else np.asarray(out)
    flat_want = want.reshape(-1, order=order) if got.shape != want.shape else want
    assert np.array_equal(got.view(np.float64).reshape(flat_want.shape), flat_want)


def test_out_of_the_wrong_size_is_refused():
    frame = encode_lanes(np.zeros((2, 10), np.float32))
    with pytest.raises(ValueError, match="elements"):
        decode_lanes(frame, out=np.empty(19, np.float32))


def test_empty_and_long_axes():
    for arr in (np.zeros((0, 5), np.float32), np.zeros((3, 0), np.float64)):
        out = decode_lanes(encode_lanes(arr))
        assert out.shape == arr.shape and out.dtype == arr.dtype


def test_huge_values_are_kept_exactly():
    # float64 values beyond float32, and float32 values whose range overflows it.
    for arr in (np.array([1e300, -1e300, 5.0, 1e-300]), np.array([3e38, -3e38, 1.0], np.float32)):
        out = decode_lanes(encode_lanes(arr))
        assert same_bits(out, arr)
        assert inspect_frame(encode_lanes(arr)).lanes[0].lossless
