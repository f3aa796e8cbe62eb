"""Module surface: names, docstrings, signatures and argument binding."""

import sys

import numpy as np
import pytest

import vantoresk
from vantoresk import VantrCompressionOptions, compress_signal, decompress_signal

SIGNAL = np.sin(np.linspace(0.0, 20.0, 500)).astype(np.float32)


def test_all_lists_the_three_names_in_order():
    assert vantoresk.__all__ == ["VantrCompressionOptions", "compress_signal", "decompress_signal"]
    assert type(vantoresk.__all__) is list


def test_module_docstring_is_empty():
    assert vantoresk.__doc__ == ""


def test_only_the_documented_names_are_public():
    public = {n for n in dir(vantoresk) if not n.startswith("_")}
    assert public == set(vantoresk.__all__)


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
        (
            decompress_signal,
            "(data)",
            "Decompress a Vantoresk bytes object into a 1-D float32 NumPy array.",
        ),
    ],
)
def test_function_signature_and_doc(func, signature, doc):
    assert func.__text_signature__ == signature
    assert func.__doc__ == doc
    assert func.__module__ == "vantoresk"
    assert func.__self__ is vantoresk
    assert type(func).__name__ == "builtin_function_or_method"


def test_options_class_properties():
    cls = VantrCompressionOptions
    assert cls.__name__ == "VantrCompressionOptions"
    assert cls.__qualname__ == "VantrCompressionOptions"
    assert cls.__module__ == "builtins"
    assert cls.__text_signature__ == '(method="cdf97", scale=11, cutoff="low", coder=None)'
    assert not cls.__doc__
    assert cls.__bases__ == (object,)
    # The same class object is reused; re-import does not create another.
    import importlib

    assert importlib.import_module("vantoresk").VantrCompressionOptions is cls


def test_options_instances_are_opaque_and_final():
    o = VantrCompressionOptions()
    for attr in ("scale", "method", "cutoff", "coder", "__dict__"):
        with pytest.raises(AttributeError):
            getattr(o, attr)
    with pytest.raises(AttributeError):
        o.scale = 3
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(o)
    with pytest.raises(TypeError, match="is not an acceptable base type"):

        class Sub(VantrCompressionOptions):  # noqa: F841
            pass


A = SIGNAL
B = b"\x00"
O = VantrCompressionOptions

BINDING_ERRORS = [
    (lambda: compress_signal(), "compress_signal() missing 1 required positional argument: 'data'"),
    (lambda: compress_signal(options=None), "compress_signal() missing 1 required positional argument: 'data'"),
    (lambda: compress_signal(A, None, 1), "compress_signal() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: compress_signal(A, data=A), "compress_signal() got multiple values for argument 'data'"),
    (lambda: compress_signal(A, None, options=None), "compress_signal() got multiple values for argument 'options'"),
    (lambda: compress_signal(A, level=3), "compress_signal() got an unexpected keyword argument 'level'"),
    (lambda: compress_signal(A, Options=None), "compress_signal() got an unexpected keyword argument 'Options'"),
    (lambda: decompress_signal(), "decompress_signal() missing 1 required positional argument: 'data'"),
    (lambda: decompress_signal(B, B), "decompress_signal() takes 1 positional arguments but 2 were given"),
    (lambda: decompress_signal(B, B, B), "decompress_signal() takes 1 positional arguments but 3 were given"),
    (lambda: decompress_signal(B, data=B), "decompress_signal() got multiple values for argument 'data'"),
    (lambda: decompress_signal(dat=B), "decompress_signal() got an unexpected keyword argument 'dat'"),
    (
        lambda: O("cdf97", 11, "low", None, 1),
        "VantrCompressionOptions.__new__() takes from 0 to 4 positional arguments but 5 were given",
    ),
    (lambda: O(wavelet="db4"), "VantrCompressionOptions.__new__() got an unexpected keyword argument 'wavelet'"),
    (lambda: O("db4", method="db4"), "VantrCompressionOptions.__new__() got multiple values for argument 'method'"),
    (lambda: O("db4", 9, "low", "arans", coder=None),
     "VantrCompressionOptions.__new__() got multiple values for argument 'coder'"),
    (lambda: O(**{"scale\x00": 11}), "VantrCompressionOptions.__new__() got an unexpected keyword argument 'scale\x00'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_binding_error_comes_before_any_conversion():
    # Too many arguments is reported even though every value is also wrong.
    with pytest.raises(TypeError, match="takes from 0 to 4"):
        O(1, 2.5, 3, 4, 5)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        compress_signal([1], "not options", x=1)


def test_keyword_and_positional_calls_agree():
    o = O("db4", 9, "high", "arans")
    expected = compress_signal(A, o)
    assert compress_signal(data=A, options=o) == expected
    assert compress_signal(options=o, data=A) == expected
    assert compress_signal(A, options=o) == expected
    assert decompress_signal(data=expected).tobytes() == decompress_signal(expected).tobytes()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: compress_signal(A, "cdf97"),
         "argument 'options': 'str' object is not an instance of 'VantrCompressionOptions'"),
        (lambda: compress_signal(A, VantrCompressionOptions),
         "argument 'options': 'type' object is not an instance of 'VantrCompressionOptions'"),
        (lambda: decompress_signal(bytearray(b"abc")), "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
        (lambda: decompress_signal(memoryview(b"abc")),
         "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
        (lambda: decompress_signal(None), "argument 'data': 'None' is not an instance of 'bytes'"),
        (lambda: decompress_signal("VNTR"), "argument 'data': 'str' object is not an instance of 'bytes'"),
        (lambda: decompress_signal(np.zeros(4, np.uint8)),
         "argument 'data': 'ndarray' object is not an instance of 'bytes'"),
    ],
)
def test_cast_errors_are_prefixed_and_do_not_chain(call, message):
    with pytest.raises(TypeError) as info:
        call()
    err = info.value
    assert type(err) is TypeError
    assert str(err) == message
    assert err.__cause__ is None
    assert err.__suppress_context__ is True


def test_cast_error_uses_qualified_type_name():
    class Holder:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        compress_signal(A, Holder.Inner())
    assert str(info.value) == (
        "argument 'options': 'test_cast_error_uses_qualified_type_name.<locals>.Holder.Inner' object "
        "is not an instance of 'VantrCompressionOptions'"
    )


def test_options_checked_before_data():
    # Both are wrong: the options error wins.
    with pytest.raises(TypeError, match="argument 'options'"):
        compress_signal([1.0, 2.0], 5)


def test_import_does_not_load_numpy():
    # The NumPy table is fetched on first use, not at import.
    import subprocess

    code = (
        "import sys, vantoresk\n"
        "assert 'numpy' not in sys.modules\n"
        "vantoresk.VantrCompressionOptions('db4')\n"
        "assert 'numpy' not in sys.modules\n"
        "try:\n"
        "    vantoresk.decompress_signal(b'')\n"
        "except ValueError as e:\n"
        "    assert str(e) == 'Header is invalid'\n"
        "assert 'numpy' not in sys.modules\n"
        "import numpy\n"
        "out = vantoresk.decompress_signal(vantoresk.compress_signal(numpy.ones(50, numpy.float32)))\n"
        "assert out.shape == (50,)\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def fresh_module():
    """A new module object from the same extension, not yet executed."""
    import importlib.util

    spec = importlib.util.spec_from_file_location("vantoresk", vantoresk.__file__)
    return spec, importlib.util.module_from_spec(spec)


def test_exec_appends_to_an_existing_all_list():
    spec, module = fresh_module()
    module.__all__ = ["already_here"]
    spec.loader.exec_module(module)
    assert module.__all__ == ["already_here", "VantrCompressionOptions", "compress_signal", "decompress_signal"]
    # The class is created once per process and shared by every module object.
    assert module.VantrCompressionOptions is VantrCompressionOptions
    assert module.compress_signal(SIGNAL) == compress_signal(SIGNAL)


@pytest.mark.parametrize("bad_all, type_name", [(("x",), "tuple"), (None, "None"), ("abc", "str")])
def test_exec_refuses_an_all_that_is_not_a_list(bad_all, type_name):
    spec, module = fresh_module()
    module.__all__ = bad_all
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    if bad_all is None:
        assert str(info.value) == "'None' is not an instance of 'list'"
    else:
        assert str(info.value) == f"'{type_name}' object is not an instance of 'list'"
    # Nothing was added before the failure.
    assert not hasattr(module, "VantrCompressionOptions")
    assert module.__all__ == bad_all


@pytest.mark.parametrize(
    "make",
    [
        lambda o: __import__("copy").copy(o),
        lambda o: __import__("copy").deepcopy(o),
        lambda o: __import__("pickle").dumps(o),
        lambda o: object.__new__(type(o)),
    ],
    ids=["copy", "deepcopy", "pickle", "object.__new__"],
)
def test_options_cannot_be_cloned_into_defaults(make):
    # Nothing can read the record back, so a copy could only come out with
    # the defaults: every route to one must fail instead.
    with pytest.raises(TypeError):
        make(VantrCompressionOptions("db4", 7, "high", "deflate"))
