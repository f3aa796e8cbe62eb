"""NumPy input and output: accepted arrays, rejected ones, and the result array."""

import gc
import sys

import numpy as np
import pytest

from vantoresk import VantrCompressionOptions as O
from vantoresk import compress_signal, decompress_signal

from helpers import header

RNG = np.random.default_rng(11)
BASE = (np.cumsum(RNG.standard_normal(5000)) * 0.1).astype(np.float32)

NOT_AN_ARRAY = "expected a 1-D float32 or float64 NumPy array"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
EMPTY = "Unsupported compression configuration 'Can't compress empty data'"


def misaligned(dtype, n):
    raw = np.zeros(n * np.dtype(dtype).itemsize + 1, np.uint8)
    a = np.frombuffer(raw.data, dtype=dtype, count=n, offset=1)
    assert n == 0 or not a.flags.aligned
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
        np.arange(10, dtype=np.int16),
        np.zeros(10, np.float16),
        np.zeros(10, np.longdouble),
        np.zeros(10, np.complex64),
        np.zeros(10, np.dtype(">f4")),
        np.zeros(10, np.dtype(">f8")),
        np.zeros(10, np.dtype(np.float32).newbyteorder()),
        np.zeros(10, np.bool_),
        np.array(["a"]),
        [1.0, 2.0, 3.0],
        (1.0,),
        b"\x00\x00\x80\x3f",
        memoryview(np.zeros(4, np.float32)),
        None,
        3.0,
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
        lambda a: a[1::3],
        lambda a: np.lib.stride_tricks.as_strided(a, shape=(5,), strides=(0,)),
    ],
    ids=["step2", "reversed", "step3", "stride0"],
)
def test_non_contiguous_rejected(dtype, make):
    view = make(BASE.astype(dtype))
    with pytest.raises(TypeError) as info:
        compress_signal(view)
    assert type(info.value) is TypeError
    assert str(info.value) == NOT_CONTIGUOUS


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_misaligned_rejected(dtype):
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned\\.$"):
        compress_signal(misaligned(dtype, 100))


@pytest.mark.parametrize(
    "empty",
    [
        np.zeros(0, np.float32),
        np.zeros(0, np.float64),
        np.zeros(10, np.float32)[::2][:0],
        np.zeros(10, np.float32)[::-1][5:5],
        misaligned(np.float32, 0),
    ],
    ids=["f32", "f64", "strided", "reversed", "misaligned"],
)
def test_empty_reaches_the_codec(empty):
    # Contiguity is not checked for zero elements.
    with pytest.raises(ValueError) as info:
        compress_signal(empty)
    assert str(info.value) == EMPTY


def test_read_only_input_accepted_and_untouched():
    a = BASE.copy()
    a.flags.writeable = False
    before = a.tobytes()
    assert compress_signal(a) == compress_signal(BASE)
    assert a.tobytes() == before


def test_fortran_and_subclass_views_accepted():
    expected = compress_signal(BASE)
    assert compress_signal(np.asfortranarray(BASE)) == expected
    assert compress_signal(BASE.view(np.ma.MaskedArray)) == expected
    # A 1-element view is contiguous whatever its stride.
    assert compress_signal(BASE[::7][:1]) == compress_signal(BASE[:1].copy())


def test_single_stride_view_of_matrix_row_accepted():
    m = np.stack([BASE, BASE * 2])
    assert compress_signal(m[1]) == compress_signal((BASE * 2).astype(np.float32))


def test_float64_equals_numpys_own_cast():
    rng = np.random.default_rng(5)
    x = rng.standard_normal(4000) * 10.0 ** rng.integers(-40, 36, 4000)
    # Values near float32 rounding ties and beyond its range.
    x[:4] = [1.0 + 2.0**-24, 1.0 + 3 * 2.0**-24, 3.5e38, -3.5e38]
    x[4:8] = [np.nan, np.inf, -np.inf, -0.0]
    x[8:10] = [1e-46, -1e-46]
    with np.errstate(over="ignore"):
        as32 = x.astype(np.float32)
    assert compress_signal(x) == compress_signal(as32)
    for opts in (O("db4", 6, "medium", "deflate"), O("cdf53", 12, "high", "arans")):
        assert compress_signal(x, opts) == compress_signal(as32, opts)


def test_float64_input_is_untouched():
    x = BASE.astype(np.float64)
    before = x.tobytes()
    compress_signal(x)
    assert x.tobytes() == before


def test_result_array_properties():
    out = decompress_signal(compress_signal(BASE))
    assert type(out) is np.ndarray
    assert out.dtype == np.dtype(np.float32) and out.dtype.isnative
    assert out.ndim == 1 and out.shape == BASE.shape
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.aligned
    # The memory belongs to the base object, not to the array itself.
    assert not out.flags.owndata
    assert out.base is not None


def test_result_survives_other_references_and_is_writable():
    container = compress_signal(BASE)
    out = decompress_signal(container)
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


class BytesSub(bytes):
    pass


def test_bytes_subclass_accepted():
    container = compress_signal(BASE)
    assert np.array_equal(decompress_signal(BytesSub(container)), decompress_signal(container))


def test_bytearray_rejected_even_when_valid():
    container = compress_signal(BASE)
    with pytest.raises(TypeError) as info:
        decompress_signal(bytearray(container))
    assert str(info.value) == "argument 'data': 'bytearray' object is not an instance of 'bytes'"


def test_empty_bytes_is_an_invalid_header():
    with pytest.raises(ValueError) as info:
        decompress_signal(b"")
    assert str(info.value) == "Header is invalid"


@pytest.mark.parametrize("n", [1, 2, 7, 10, 19, 20, 79, 80, 81, 1000, 4097])
def test_lengths_preserved(n):
    out = decompress_signal(compress_signal(BASE[:n]))
    assert out.shape == (n,)


def test_container_returned_as_exact_bytes():
    container = compress_signal(BASE)
    assert type(container) is bytes
    h = header(container)
    assert h["magic"] == b"VNTR"
    assert len(container) == 52 + h["payload_length"]
    assert h["sample_count"] == BASE.size


def test_input_refcount_unchanged_by_calls():
    a = BASE.copy()
    before = sys.getrefcount(a)
    container = compress_signal(a)
    assert sys.getrefcount(a) == before
    cb = sys.getrefcount(container)
    decompress_signal(container)
    assert sys.getrefcount(container) == cb
