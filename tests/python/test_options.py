"""VantrCompressionOptions: accepted values, conversion and value errors."""

import numpy as np
import pytest

from vantoresk import VantrCompressionOptions as O
from vantoresk import compress_signal

from helpers import header

# Varied enough that every option leaves its mark on the container.
RNG = np.random.default_rng(7)
SIGNAL = (np.cumsum(RNG.standard_normal(3000)) + 3 * np.sin(np.arange(3000) / 9)).astype(np.float32)


class Nine:
    def __index__(self):
        return 9


class Str(str):
    pass


@pytest.mark.parametrize(
    "kwargs, field, expected",
    [(dict(method=m), "wavelet_tag", tag)
     for m, tag in [("cdf53", b"cf53"), ("cdf97", b"cf97"), ("db4", b"db04"), ("sym4", b"sym4"), (Str("db4"), b"db04")]]
    + [(dict(scale=s), "scale", s) for s in range(6, 13)]
    + [(dict(scale=s), "scale", int(s)) for s in (True + 6, np.int64(9), np.uint8(7))]
    + [(dict(scale=Nine()), "scale", 9)]
    + [(dict(coder=c), "coder", byte) for c, byte in [(None, 1), ("auto", 1), ("arans", 1), ("deflate", 0),
                                                       (Str("deflate"), 0)]],
    ids=repr,
)
def test_option_reaches_container(kwargs, field, expected):
    assert header(compress_signal(SIGNAL, O(**kwargs)))[field] == expected


@pytest.mark.parametrize(
    "options",
    [None, O(), O("cdf97", 11, "low", None), O(coder="auto"), O(coder="arans"), O(cutoff=Str("low"))],
    ids=["None", "O()", "explicit", "auto", "arans", "str-subclass"],
)
def test_default_equivalents(options):
    assert compress_signal(SIGNAL, options) == compress_signal(SIGNAL)


def test_cutoff_levels_are_distinct_and_ordered():
    # At scale 12 the dead zone is 3, 9 and 21 codes wide: a wider zone
    # zeroes more detail codes and the container cannot grow.
    sizes = [len(compress_signal(SIGNAL, O(scale=12, cutoff=c))) for c in ("low", "medium", "high")]
    assert sizes[0] > sizes[1] > sizes[2]


UNKNOWN_METHOD = ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"
UNKNOWN_CUTOFF = ", expected 'low' or 'medium' or 'high'"
UNKNOWN_CODER = ", expected 'auto', 'deflate', 'arans'"

V, T, OV = ValueError, TypeError, OverflowError
ERRORS = [
    (dict(method="CDF97"), V, 'Unknown method "CDF97"' + UNKNOWN_METHOD),
    (dict(method="cdf97 "), V, 'Unknown method "cdf97 "' + UNKNOWN_METHOD),
    (dict(method="cdf97\x00"), V, 'Unknown method "cdf97\\0"' + UNKNOWN_METHOD),
    (dict(method=""), V, 'Unknown method ""' + UNKNOWN_METHOD),
    (dict(cutoff="Low"), V, 'Unknown cutoff level "Low"' + UNKNOWN_CUTOFF),
    (dict(cutoff="none"), V, 'Unknown cutoff level "none"' + UNKNOWN_CUTOFF),
    (dict(coder=""), V, 'Unknown coder ""' + UNKNOWN_CODER),
    (dict(coder="zlib"), V, 'Unknown coder "zlib"' + UNKNOWN_CODER),
    (dict(coder="None"), V, 'Unknown coder "None"' + UNKNOWN_CODER),
    (dict(scale=5), V, "Only scaled 6..12 is supported, but it was 5"),
    (dict(scale=13), V, "Only scaled 6..12 is supported, but it was 13"),
    (dict(scale=0), V, "Only scaled 6..12 is supported, but it was 0"),
    (dict(scale=255), V, "Only scaled 6..12 is supported, but it was 255"),
    (dict(scale=True), V, "Only scaled 6..12 is supported, but it was 1"),
    # Order among value errors: method, cutoff, scale, coder.
    (dict(method="x", cutoff="y", scale=1, coder="z"), V, 'Unknown method "x"' + UNKNOWN_METHOD),
    (dict(cutoff="y", scale=1, coder="z"), V, 'Unknown cutoff level "y"' + UNKNOWN_CUTOFF),
    (dict(scale=1, coder="z"), V, "Only scaled 6..12 is supported, but it was 1"),
    (dict(method=None), T, "argument 'method': 'None' is not an instance of 'str'"),
    (dict(method=3), T, "argument 'method': 'int' object is not an instance of 'str'"),
    (dict(method=b"db4"), T, "argument 'method': 'bytes' object is not an instance of 'str'"),
    (dict(cutoff=None), T, "argument 'cutoff': 'None' is not an instance of 'str'"),
    (dict(cutoff=1), T, "argument 'cutoff': 'int' object is not an instance of 'str'"),
    (dict(coder=0), T, "argument 'coder': 'int' object is not an instance of 'str'"),
    (dict(coder=["auto"]), T, "argument 'coder': 'list' object is not an instance of 'str'"),
    (dict(scale=11.0), T, "argument 'scale': 'float' object cannot be interpreted as an integer"),
    (dict(scale="11"), T, "argument 'scale': 'str' object cannot be interpreted as an integer"),
    (dict(scale=None), T, "argument 'scale': 'NoneType' object cannot be interpreted as an integer"),
    # A type error in a later parameter beats value errors in earlier ones.
    (dict(method="haar", scale=11.0), T, "argument 'scale': 'float' object cannot be interpreted as an integer"),
    (dict(method="haar", scale=99, cutoff=2), T, "argument 'cutoff': 'int' object is not an instance of 'str'"),
    (dict(method="haar", cutoff="bad", coder=b"x"), T, "argument 'coder': 'bytes' object is not an instance of 'str'"),
    # Conversion runs in parameter order: the first type error wins.
    (dict(method=1, scale=1.5), T, "argument 'method': 'int' object is not an instance of 'str'"),
    # Integer overflow passes unprefixed, ahead of any value error.
    (dict(scale=256), OV, "out of range integral type conversion attempted"),
    (dict(scale=-1), OV, "out of range integral type conversion attempted"),
    (dict(scale=2**62), OV, "out of range integral type conversion attempted"),
    (dict(method="haar", scale=-5), OV, "out of range integral type conversion attempted"),
    (dict(scale=2**64), OV, "Python int too large to convert to C long"),
    (dict(scale=-(2**70)), OV, "Python int too large to convert to C long"),
]


@pytest.mark.parametrize("kwargs, kind, message", ERRORS)
def test_errors(kwargs, kind, message):
    with pytest.raises(kind) as info:
        O(**kwargs)
    err = info.value
    assert type(err) is kind
    assert str(err) == message
    if kind is TypeError:
        assert err.__cause__ is None
        assert err.__suppress_context__ is True


@pytest.mark.parametrize(
    "text, shown",
    [
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("tab\there", '"tab\\there"'),
        ("cr\rlf\n", '"cr\\rlf\\n"'),
        ("nul\x00", '"nul\\0"'),
        ("it's", "\"it's\""),
        ("\x07bell", '"\\u{7}bell"'),
        ("\x7f", '"\\u{7f}"'),
        ("\u200b", '"\\u{200b}"'),
        ("\U000e0001", '"\\u{e0001}"'),
        ("ünï cødé 日本 🙂", '"ünï cødé 日本 🙂"'),
    ],
)
def test_rejected_strings_shown_in_debug_form(text, shown):
    with pytest.raises(ValueError) as info:
        O(method=text)
    assert str(info.value) == "Unknown method " + shown + UNKNOWN_METHOD


def test_index_errors():
    root = KeyError("root")

    class BadType:
        def __index__(self):
            raise TypeError("no index here") from root

    class BadOther:
        def __index__(self):
            raise ZeroDivisionError("boom")

    # A TypeError is prefixed and keeps its own cause; anything else passes unchanged.
    with pytest.raises(TypeError) as info:
        O(scale=BadType())
    assert str(info.value) == "argument 'scale': no index here"
    assert info.value.__cause__ is root
    assert info.value.__suppress_context__ is True
    with pytest.raises(ZeroDivisionError, match="^boom$"):
        O(scale=BadOther())


@pytest.mark.parametrize("kwargs", [dict(method="\ud800"), dict(cutoff="lo\udfffw"), dict(coder="\udc80")])
def test_lone_surrogate_raises_unprefixed_unicode_error(kwargs):
    with pytest.raises(UnicodeEncodeError) as info:
        O(**kwargs)
    assert not str(info.value).startswith("argument")
