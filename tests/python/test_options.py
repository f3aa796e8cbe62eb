"""VantrCompressionOptions: accepted values, conversion and value errors."""

import numpy as np
import pytest

from vantoresk import VantrCompressionOptions as O
from vantoresk import compress_signal

from helpers import header

# Varied enough that every option leaves its mark on the container.
RNG = np.random.default_rng(7)
SIGNAL = (np.cumsum(RNG.standard_normal(3000)) + 3 * np.sin(np.arange(3000) / 9)).astype(np.float32)

METHOD_TAGS = {"cdf53": b"cf53", "cdf97": b"cf97", "db4": b"db04", "sym4": b"sym4"}


@pytest.mark.parametrize("method, tag", METHOD_TAGS.items())
def test_method_reaches_container(method, tag):
    assert header(compress_signal(SIGNAL, O(method=method)))["wavelet_tag"] == tag


@pytest.mark.parametrize("scale", range(6, 13))
def test_scale_reaches_container(scale):
    assert header(compress_signal(SIGNAL, O(scale=scale)))["scale"] == scale


@pytest.mark.parametrize(
    "coder, byte", [(None, 1), ("auto", 1), ("arans", 1), ("deflate", 0)]
)
def test_coder_reaches_container(coder, byte):
    assert header(compress_signal(SIGNAL, O(coder=coder)))["coder"] == byte


def test_omitted_none_and_auto_coder_are_the_same():
    expected = compress_signal(SIGNAL, O())
    assert compress_signal(SIGNAL, O(coder=None)) == expected
    assert compress_signal(SIGNAL, O(coder="auto")) == expected
    assert compress_signal(SIGNAL, O(coder="arans")) == expected


def test_defaults_equal_no_options():
    expected = compress_signal(SIGNAL)
    assert compress_signal(SIGNAL, None) == expected
    assert compress_signal(SIGNAL, O()) == expected
    assert compress_signal(SIGNAL, O("cdf97", 11, "low", None)) == expected


def test_cutoff_levels_are_distinct_and_ordered():
    # At scale 12 the dead zone is 3, 9 and 21 codes wide: a wider zone
    # zeroes more detail codes and the container cannot grow.
    sizes = [len(compress_signal(SIGNAL, O(scale=12, cutoff=c))) for c in ("low", "medium", "high")]
    assert sizes[0] > sizes[1] > sizes[2]


def test_positional_and_keyword_construction_agree():
    a = compress_signal(SIGNAL, O("db4", 9, "high", "arans"))
    b = compress_signal(SIGNAL, O(method="db4", scale=9, cutoff="high", coder="arans"))
    c = compress_signal(SIGNAL, O(coder="arans", cutoff="high", scale=9, method="db4"))
    assert a == b == c


@pytest.mark.parametrize(
    "scale", [6, 12, True + 6, np.int64(9), np.uint8(7)], ids=["6", "12", "bool-sum", "np.int64", "np.uint8"]
)
def test_integer_like_scales_accepted(scale):
    assert header(compress_signal(SIGNAL, O(scale=scale)))["scale"] == int(scale)


def test_index_protocol_accepted_for_scale():
    class Nine:
        def __index__(self):
            return 9

    assert header(compress_signal(SIGNAL, O(scale=Nine())))["scale"] == 9


def test_instances_are_reusable():
    o = O("sym4", 8, "medium", "deflate")
    first = compress_signal(SIGNAL, o)
    for _ in range(3):
        assert compress_signal(SIGNAL, o) == first


UNKNOWN_METHOD = ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"
UNKNOWN_CUTOFF = ", expected 'low' or 'medium' or 'high'"
UNKNOWN_CODER = ", expected 'auto', 'deflate', 'arans'"

VALUE_ERRORS = [
    (dict(method="CDF97"), 'Unknown method "CDF97"' + UNKNOWN_METHOD),
    (dict(method="haar"), 'Unknown method "haar"' + UNKNOWN_METHOD),
    (dict(method="cdf97 "), 'Unknown method "cdf97 "' + UNKNOWN_METHOD),
    (dict(method="cdf97\x00"), 'Unknown method "cdf97\\0"' + UNKNOWN_METHOD),
    (dict(method=""), 'Unknown method ""' + UNKNOWN_METHOD),
    (dict(cutoff="Low"), 'Unknown cutoff level "Low"' + UNKNOWN_CUTOFF),
    (dict(cutoff="none"), 'Unknown cutoff level "none"' + UNKNOWN_CUTOFF),
    (dict(coder=""), 'Unknown coder ""' + UNKNOWN_CODER),
    (dict(coder="zlib"), 'Unknown coder "zlib"' + UNKNOWN_CODER),
    (dict(coder="None"), 'Unknown coder "None"' + UNKNOWN_CODER),
    (dict(scale=5), "Only scaled 6..12 is supported, but it was 5"),
    (dict(scale=13), "Only scaled 6..12 is supported, but it was 13"),
    (dict(scale=0), "Only scaled 6..12 is supported, but it was 0"),
    (dict(scale=255), "Only scaled 6..12 is supported, but it was 255"),
    (dict(scale=True), "Only scaled 6..12 is supported, but it was 1"),
    (dict(scale=False), "Only scaled 6..12 is supported, but it was 0"),
    # Order among value errors: method, cutoff, scale, coder.
    (dict(method="x", cutoff="y", scale=1, coder="z"), 'Unknown method "x"' + UNKNOWN_METHOD),
    (dict(cutoff="y", scale=1, coder="z"), 'Unknown cutoff level "y"' + UNKNOWN_CUTOFF),
    (dict(scale=1, coder="z"), "Only scaled 6..12 is supported, but it was 1"),
]


@pytest.mark.parametrize("kwargs, message", VALUE_ERRORS)
def test_value_errors(kwargs, message):
    with pytest.raises(ValueError) as info:
        O(**kwargs)
    assert type(info.value) is ValueError
    assert str(info.value) == message


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


def test_str_subclass_accepted():
    class S(str):
        pass

    assert header(compress_signal(SIGNAL, O(method=S("db4"), cutoff=S("high"), coder=S("deflate"))))[
        "wavelet_tag"
    ] == b"db04"


TYPE_ERRORS = [
    (dict(method=None), "argument 'method': 'None' is not an instance of 'str'"),
    (dict(method=3), "argument 'method': 'int' object is not an instance of 'str'"),
    (dict(method=b"db4"), "argument 'method': 'bytes' object is not an instance of 'str'"),
    (dict(cutoff=None), "argument 'cutoff': 'None' is not an instance of 'str'"),
    (dict(cutoff=1), "argument 'cutoff': 'int' object is not an instance of 'str'"),
    (dict(coder=0), "argument 'coder': 'int' object is not an instance of 'str'"),
    (dict(coder=["auto"]), "argument 'coder': 'list' object is not an instance of 'str'"),
    (dict(scale=11.0), "argument 'scale': 'float' object cannot be interpreted as an integer"),
    (dict(scale="11"), "argument 'scale': 'str' object cannot be interpreted as an integer"),
    (dict(scale=None), "argument 'scale': 'NoneType' object cannot be interpreted as an integer"),
    # A type error in a later parameter beats value errors in earlier ones.
    (dict(method="haar", scale=11.0), "argument 'scale': 'float' object cannot be interpreted as an integer"),
    (dict(method="haar", scale=99, cutoff=2), "argument 'cutoff': 'int' object is not an instance of 'str'"),
    (dict(method="haar", cutoff="bad", coder=b"x"), "argument 'coder': 'bytes' object is not an instance of 'str'"),
    # Conversion runs in parameter order: the first type error wins.
    (dict(method=1, scale=1.5), "argument 'method': 'int' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("kwargs, message", TYPE_ERRORS)
def test_type_errors(kwargs, message):
    with pytest.raises(TypeError) as info:
        O(**kwargs)
    err = info.value
    assert type(err) is TypeError
    assert str(err) == message
    assert err.__cause__ is None
    assert err.__suppress_context__ is True


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(scale=256), "out of range integral type conversion attempted"),
        (dict(scale=-1), "out of range integral type conversion attempted"),
        (dict(scale=2**62), "out of range integral type conversion attempted"),
        (dict(method="haar", scale=-5), "out of range integral type conversion attempted"),
        (dict(scale=2**64), "Python int too large to convert to C long"),
        (dict(scale=-(2**70)), "Python int too large to convert to C long"),
    ],
)
def test_overflow_errors_are_not_prefixed(kwargs, message):
    with pytest.raises(OverflowError) as info:
        O(**kwargs)
    assert str(info.value) == message


def test_index_raising_type_error_is_prefixed_and_keeps_its_cause():
    root = KeyError("root")

    class Bad:
        def __index__(self):
            raise TypeError("no index here") from root

    with pytest.raises(TypeError) as info:
        O(scale=Bad())
    assert str(info.value) == "argument 'scale': no index here"
    assert info.value.__cause__ is root
    assert info.value.__suppress_context__ is True


def test_index_raising_other_error_propagates_unchanged():
    class Bad:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        O(scale=Bad())


def test_lone_surrogate_raises_unprefixed_unicode_error():
    with pytest.raises(UnicodeEncodeError) as info:
        O(method="\ud800")
    assert not str(info.value).startswith("argument")
    # Same for a valid method name followed by a bad cutoff.
    with pytest.raises(UnicodeEncodeError):
        O(cutoff="lo\udfffw")
