"""NumPy input and output: accepted arrays, rejected ones, and the result array."""

import gc

import numpy as np
import pytest

from vantoresk import VantrCompressionOptions as O
from vantoresk import compress_signal, decompress_signal

RNG = np.random.default_rng(11)
BASE = (np.cumsum(RNG.standard_normal(5000)) * 0.1).astype(np.float32)

NOT_AN_ARRAY = "expected a 1-D float32 or float64 NumPy array"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
EMPTY = "Unsupported compression configuration 'Can't compress empty data'"


def misaligned(a):
    """A copy of `a` whose data sits one byte off its natural alignment."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    out = np.frombuffer(raw.data, dtype=a.dtype, count=a.size, offset=1)
    out[...] = a
    assert a.size == 0 or not out.flags.aligned
    return out


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    "data",
    [
        np.float32(1.0),
        np.array(1.0, np.float32),
        np.zeros((4, 4), np.float32),
        np.zeros((1, 8), np.float64),
        np.zeros((0, 3), np.float32),
        np.arange(10),
        np.zeros(10, np.float16),
        np.zeros(10, np.complex64),
        np.zeros(10, np.dtype(">f4")),
        np.zeros(10, np.dtype(">f8")),
        [1.0, 2.0, 3.0],
        b"\x00\x00\x80\x3f",
        memoryview(np.zeros(4, np.float32)),
        None,
    ],
    ids=lambda d: type(d).__name__ + ("-" + str(d.dtype) + str(d.shape) if hasattr(d, "dtype") else ""),
)
def test_rejected_inputs(data):
    with pytest.raises(ValueError) as info:
        compress_signal(data)
    assert type(info.value) is ValueError
    assert str(info.value) == NOT_AN_ARRAY


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    "make",
    [
        lambda a: a[::2],
        lambda a: a[::-1],
        lambda a: np.lib.stride_tricks.as_strided(a, shape=(5,), strides=(0,)),
        misaligned,
    ],
    ids=["step2", "reversed", "stride0", "misaligned"],
)
def test_non_contiguous_or_misaligned_rejected(dtype, make):
    with pytest.raises(TypeError) as info:
        compress_signal(make(BASE.astype(dtype)))
    assert type(info.value) is TypeError
    assert str(info.value) == NOT_CONTIGUOUS


@pytest.mark.parametrize(
    "empty",
    [
        np.zeros(0, np.float32),
        np.zeros(0, np.float64),
        np.zeros(10, np.float32)[::2][:0],
        np.zeros(10, np.float32)[::-1][5:5],
        misaligned(np.zeros(0, np.float32)),
    ],
    ids=["f32", "f64", "strided", "reversed", "misaligned"],
)
def test_empty_reaches_the_codec(empty):
    # Contiguity is not checked for zero elements.
    with pytest.raises(ValueError) as info:
        compress_signal(empty)
    assert str(info.value) == EMPTY


@pytest.mark.parametrize(
    "make",
    [
        read_only,
        np.asfortranarray,
        lambda a: a.view(np.ma.MaskedArray),
        lambda a: np.stack([a * 2, a])[1],
        lambda a: a[::7][:1],  # one element: contiguous whatever its stride
        lambda a: read_only(a.astype(np.float64)),
    ],
    ids=["read-only", "fortran", "subclass", "matrix-row", "one-element-view", "float64"],
)
def test_accepted_inputs_are_read_in_place_and_untouched(make):
    data = make(BASE)
    before = data.tobytes()
    assert compress_signal(data) == compress_signal(np.ascontiguousarray(data, np.float32))
    assert data.tobytes() == before


def test_float64_equals_numpys_own_cast():
    rng = np.random.default_rng(5)
    x = rng.standard_normal(4000) * 10.0 ** rng.integers(-40, 36, 4000)
    # Values near float32 rounding ties and beyond its range.
    x[:4] = [1.0 + 2.0**-24, 1.0 + 3 * 2.0**-24, 3.5e38, -3.5e38]
    x[4:8] = [np.nan, np.inf, -np.inf, -0.0]
    x[8:10] = [1e-46, -1e-46]
    with np.errstate(over="ignore"):
        as32 = x.astype(np.float32)
    for opts in (None, O("db4", 6, "medium", "deflate"), O("cdf53", 12, "high", "arans")):
        assert compress_signal(x, opts) == compress_signal(as32, opts)


def test_result_array():
    container = compress_signal(BASE)
    out = decompress_signal(container)
    assert type(out) is np.ndarray
    assert out.dtype == np.dtype(np.float32) and out.dtype.isnative
    assert out.shape == BASE.shape
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.aligned
    # The memory belongs to the base object, not to the array itself.
    assert not out.flags.owndata and out.base is not None
    # A view keeps the samples alive after every other reference is gone.
    expected = out.copy()
    view = out[10:20]
    del out
    gc.collect()
    assert np.array_equal(view, expected[10:20])
    view[:] = 7.0
    assert np.all(view == 7.0)
    # Fresh arrays do not share memory.
    a, b = decompress_signal(container), decompress_signal(container)
    a[:] = 0
    assert np.array_equal(b, expected)


def test_bytes_subclass_accepted():
    class BytesSub(bytes):
        pass

    container = compress_signal(BASE)
    assert np.array_equal(decompress_signal(BytesSub(container)), decompress_signal(container))


def test_empty_bytes_is_an_invalid_header():
    with pytest.raises(ValueError) as info:
        decompress_signal(b"")
    assert str(info.value) == "Header is invalid"

