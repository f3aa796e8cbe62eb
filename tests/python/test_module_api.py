"""Module surface: names, docstrings, signatures and argument binding."""

import copy
import importlib.util
import pickle
import weakref

import numpy as np
import pytest

import vantoresk
from vantoresk import VantrCompressionOptions as O
from vantoresk import compress_signal, decompress_signal

A = np.sin(np.linspace(0.0, 20.0, 500)).astype(np.float32)
B = b"\x00"
CONTAINER = compress_signal(A)


def test_module_surface():
    assert vantoresk.__all__ == ["VantrCompressionOptions", "compress_signal", "decompress_signal"]
    assert type(vantoresk.__all__) is list
    assert vantoresk.__doc__ == ""
    assert {n for n in dir(vantoresk) if not n.startswith("_")} == set(vantoresk.__all__)


@pytest.mark.parametrize(
    "func, signature, doc",
    [
        (
            compress_signal,
            "(data, options=None)",
            "Compress a 1-D float32 **or** float64 NumPy array into Vantoresk `bytes`.\n\n"
            "float64 input is downcast to float32 before compression (the codec works in\n"
            "f32 internally and always reconstructs f32 on decompress).",
        ),
        (decompress_signal, "(data)", "Decompress a Vantoresk bytes object into a 1-D float32 NumPy array."),
    ],
)
def test_function_signature_and_doc(func, signature, doc):
    assert func.__text_signature__ == signature
    assert func.__doc__ == doc
    assert func.__module__ == "vantoresk"
    assert func.__self__ is vantoresk


def test_options_class_properties():
    assert O.__name__ == O.__qualname__ == "VantrCompressionOptions"
    assert O.__module__ == "builtins"
    assert O.__text_signature__ == '(method="cdf97", scale=11, cutoff="low", coder=None)'
    assert not O.__doc__
    assert O.__bases__ == (object,)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (O,), {})
    o = O("db4", 7, "high", "deflate")
    for attr in ("scale", "method", "cutoff", "coder", "__dict__"):
        with pytest.raises(AttributeError):
            getattr(o, attr)
    with pytest.raises(AttributeError):
        o.scale = 3
    with pytest.raises(TypeError):
        weakref.ref(o)


@pytest.mark.parametrize(
    "make",
    [copy.copy, copy.deepcopy, pickle.dumps, lambda o: object.__new__(type(o))],
    ids=["copy", "deepcopy", "pickle", "object.__new__"],
)
def test_options_cannot_be_cloned_into_defaults(make):
    # Nothing can read the record back, so a copy could only come out with
    # the defaults: every route to one must fail instead.
    with pytest.raises(TypeError):
        make(O("db4", 7, "high", "deflate"))


class Holder:
    class Inner:
        pass


TYPE_ERRORS = [
    (lambda: compress_signal(), "compress_signal() missing 1 required positional argument: 'data'"),
    (lambda: compress_signal(options=None), "compress_signal() missing 1 required positional argument: 'data'"),
    (lambda: compress_signal(A, None, 1), "compress_signal() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: compress_signal(A, data=A), "compress_signal() got multiple values for argument 'data'"),
    (lambda: compress_signal(A, None, options=None), "compress_signal() got multiple values for argument 'options'"),
    (lambda: compress_signal(A, level=3), "compress_signal() got an unexpected keyword argument 'level'"),
    (lambda: compress_signal(A, Options=None), "compress_signal() got an unexpected keyword argument 'Options'"),
    (lambda: decompress_signal(), "decompress_signal() missing 1 required positional argument: 'data'"),
    (lambda: decompress_signal(B, B), "decompress_signal() takes 1 positional arguments but 2 were given"),
    (lambda: decompress_signal(B, data=B), "decompress_signal() got multiple values for argument 'data'"),
    (lambda: decompress_signal(dat=B), "decompress_signal() got an unexpected keyword argument 'dat'"),
    (lambda: O("cdf97", 11, "low", None, 1),
     "VantrCompressionOptions.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: O(wavelet="db4"), "VantrCompressionOptions.__new__() got an unexpected keyword argument 'wavelet'"),
    (lambda: O("db4", method="db4"), "VantrCompressionOptions.__new__() got multiple values for argument 'method'"),
    (lambda: O("db4", 9, "low", "arans", coder=None),
     "VantrCompressionOptions.__new__() got multiple values for argument 'coder'"),
    (lambda: O(**{"scale\x00": 11}), "VantrCompressionOptions.__new__() got an unexpected keyword argument 'scale\x00'"),
    # Binding fails before any value is converted, even when every value is wrong.
    (lambda: O(1, 2.5, 3, 4, 5),
     "VantrCompressionOptions.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: compress_signal([1], "not options", x=1), "compress_signal() got an unexpected keyword argument 'x'"),
    # Conversion errors carry the parameter name and chain nothing.
    (lambda: compress_signal(A, "cdf97"),
     "argument 'options': 'str' object is not an instance of 'VantrCompressionOptions'"),
    (lambda: compress_signal(A, O),
     "argument 'options': 'type' object is not an instance of 'VantrCompressionOptions'"),
    # The qualified name of the type, not its bare name.
    (lambda: compress_signal(A, Holder.Inner()),
     "argument 'options': 'Holder.Inner' object is not an instance of 'VantrCompressionOptions'"),
    # Both arguments are wrong: options are checked first.
    (lambda: compress_signal([1.0, 2.0], 5),
     "argument 'options': 'int' object is not an instance of 'VantrCompressionOptions'"),
    # Rejected even though the bytes are a valid container.
    (lambda: decompress_signal(bytearray(CONTAINER)),
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda: decompress_signal(memoryview(CONTAINER)),
     "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
    (lambda: decompress_signal(None), "argument 'data': 'None' is not an instance of 'bytes'"),
]


@pytest.mark.parametrize("call, message", TYPE_ERRORS)
def test_binding_and_cast_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    err = info.value
    assert type(err) is TypeError
    assert str(err) == message
    assert err.__cause__ is None
    assert err.__suppress_context__ is message.startswith("argument ")


def test_keyword_and_positional_calls_agree():
    expected = compress_signal(A, O("db4", 9, "high", "arans"))
    assert compress_signal(A, options=O(method="db4", scale=9, cutoff="high", coder="arans")) == expected
    assert compress_signal(options=O(coder="arans", cutoff="high", scale=9, method="db4"), data=A) == expected
    assert decompress_signal(data=expected).tobytes() == decompress_signal(expected).tobytes()


def fresh_module():
    """A new module object from the same extension, not yet executed."""
    found = importlib.util.spec_from_file_location("vantoresk", vantoresk.__file__)
    return found, importlib.util.module_from_spec(found)


def test_exec_appends_to_an_existing_all_list():
    found, module = fresh_module()
    module.__all__ = ["already_here"]
    found.loader.exec_module(module)
    assert module.__all__ == ["already_here", "VantrCompressionOptions", "compress_signal", "decompress_signal"]
    # The class is created once per process and shared by every module object.
    assert module.VantrCompressionOptions is O
    assert module.compress_signal(A) == CONTAINER


@pytest.mark.parametrize(
    "bad_all, message",
    [
        (("x",), "'tuple' object is not an instance of 'list'"),
        ("abc", "'str' object is not an instance of 'list'"),
        (None, "'None' is not an instance of 'list'"),
    ],
)
def test_exec_refuses_an_all_that_is_not_a_list(bad_all, message):
    found, module = fresh_module()
    module.__all__ = bad_all
    with pytest.raises(TypeError) as info:
        found.loader.exec_module(module)
    assert str(info.value) == message
    # Nothing was added before the failure.
    assert not hasattr(module, "VantrCompressionOptions")
    assert module.__all__ == bad_all
