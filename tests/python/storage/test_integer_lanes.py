"""Integer chunks and awkward layouts through encode_lanes/decode_lanes and both codecs."""

from __future__ import annotations

import numpy as np
import pytest

from storage_helpers import ecg_60s, same_bits
from vantoresk_zarr import VantoreskCodec, decode_lanes, encode_lanes, inspect_frame

INT_DTYPES = ["|i1", "<i2", ">i2", "<i4", ">i4", "|u1", "<u2", ">u2"]


def int_lanes(dtype: str, n: int = 3000) -> np.ndarray:
    """Three lanes: an ADC-like walk, white noise over the whole range, the dtype's extremes."""
    dt = np.dtype(dtype)
    info = np.iinfo(dt)
    rng = np.random.default_rng(dt.itemsize)
    mid = (int(info.min) + int(info.max)) // 2
    walk = np.clip(mid + np.cumsum(rng.integers(-20, 21, n)), info.min, info.max)
    noise = rng.integers(int(info.min), int(info.max), n, endpoint=True)
    extremes = np.resize([info.min, info.max, mid], n)
    return np.stack([walk, noise, extremes]).astype(dt)


@pytest.mark.parametrize("dtype", INT_DTYPES)
@pytest.mark.parametrize("k", [0, 1, 2, 7])
def test_integer_chunks_come_back_within_k_counts_in_their_dtype(dtype, k):
    x = int_lanes(dtype)
    frame = encode_lanes(x, max_abs_error=k)
    y = decode_lanes(frame)
    assert y.dtype == x.dtype and y.shape == x.shape
    assert np.max(np.abs(y.astype(np.int64) - x.astype(np.int64))) <= k
    info = inspect_frame(frame)
    assert info.version == 2 and info.dtype == x.dtype
    if k == 0:
        assert same_bits(y, x) and all(lane.lossless for lane in info.lanes)


@pytest.mark.parametrize("dtype", INT_DTYPES)
def test_integer_chunks_without_a_target_and_with_a_prdn(dtype):
    x = int_lanes(dtype, 2000)
    assert decode_lanes(encode_lanes(x)).dtype == x.dtype
    y = decode_lanes(encode_lanes(x, max_prdn=1.0)).astype(np.float64)
    x64 = x.astype(np.float64)
    prdn = 100 * np.sqrt(((y - x64) ** 2).sum(1) / ((x64 - x64.mean(1, keepdims=True)) ** 2).sum(1))
    assert np.all(prdn <= 1.0)


def test_adc_integers_are_smaller_than_the_same_samples_as_floats():
    ecg = ecg_60s()
    adc = np.round(ecg * 200).astype(np.int16)
    exact_int = encode_lanes(adc, max_abs_error=0)
    exact_float = encode_lanes(ecg, max_abs_error=0)
    assert len(exact_int) <= 1.05 * len(exact_float)
    assert len(encode_lanes(adc, max_abs_error=2)) < 0.7 * len(exact_int)


@pytest.mark.parametrize("lengths", [1, 2, 3, 5, 8])
@pytest.mark.parametrize("dtype", ["<f4", ">f8", "<i2", "|u1"])
def test_very_short_lanes(lengths, dtype):
    x = (np.arange(4 * lengths).reshape(4, lengths) * 3 - 5).astype(dtype)
    for kwargs in ({}, {"max_abs_error": 0}, {"max_abs_error": 1}, {"max_prdn": 5.0}):
        y = decode_lanes(encode_lanes(x, **kwargs))
        assert y.dtype == x.dtype
        assert np.max(np.abs(y.astype(np.float64) - x.astype(np.float64))) <= kwargs.get("max_abs_error", np.inf)


@pytest.mark.parametrize("make", [
    lambda a: np.asfortranarray(a),
    lambda a: a[:, ::2],
    lambda a: a.T.copy().T[::-1],
    lambda a: a.astype(a.dtype.newbyteorder(">")),
], ids=["fortran", "strided", "reversed-view", "big-endian"])
@pytest.mark.parametrize("dtype", ["<f4", "<f8", "<i2", "<u2"])
def test_strided_fortran_and_big_endian_input_decode_to_the_same_values(make, dtype):
    base = (ecg_60s()[:, :4000] * 200).astype(dtype)
    x = make(base)
    for kwargs in ({"max_abs_error": 0}, {"max_abs_error": 2}):
        y = decode_lanes(encode_lanes(x, **kwargs))
        assert y.shape == x.shape and y.dtype == x.dtype
        assert np.max(np.abs(y.astype(np.float64) - x.astype(np.float64))) <= kwargs["max_abs_error"]
        if x.flags.f_contiguous and not x.flags.c_contiguous:
            assert y.flags.f_contiguous


def test_numcodecs_codec_stores_integers_and_decodes_into_out():
    x = int_lanes("<i2", 1000)
    codec = VantoreskCodec(max_abs_error=1)
    frame = codec.encode(x)
    out = np.empty_like(x)
    assert codec.decode(frame, out=out) is out
    assert np.max(np.abs(out.astype(int) - x)) <= 1
    with pytest.raises(ValueError, match="elements"):
        codec.decode(frame, out=np.empty(x.size + 1, x.dtype))
