"""Both codec objects: configuration, pickling, discovery in a fresh process, refusals."""

from __future__ import annotations

import json
import pickle

import numpy as np
import pytest

from storage_helpers import run_python
from vantoresk_zarr import VantoreskCodec, VantoreskZarrCodec, decode_lanes

SETTINGS = [
    {},
    {"method": "db4", "scale": 8, "cutoff": "high", "coder": "deflate", "axis": 0},
    {"max_abs_error": 0.005},
    {"max_prdn": 1.5, "method": "sym4"},
    {"max_abs_error": [0.005, 0.0019], "axis": -1},
    {"scale": np.int64(9), "axis": np.int32(0), "max_prdn": np.float32(2.5)},  # NumPy scalars stored as JSON
]


@pytest.mark.parametrize("cfg", SETTINGS)
def test_numcodecs_config_json_and_pickle_round_trip(cfg):
    import numcodecs

    codec = VantoreskCodec(**cfg)
    config = json.loads(json.dumps(codec.get_config()))
    assert config["id"] == "vantoresk"
    again = numcodecs.get_codec(config)
    assert again == codec and pickle.loads(pickle.dumps(codec)) == codec
    data = np.random.default_rng(0).normal(size=(2, 300)).astype(np.float32)
    assert again.encode(data) == codec.encode(data)


@pytest.mark.parametrize("cfg", SETTINGS)
def test_zarr3_config_json_and_pickle_round_trip(cfg):
    codec = VantoreskZarrCodec(**cfg)
    as_json = json.loads(json.dumps(codec.to_dict()))
    assert as_json["name"] == "vantoresk"
    assert VantoreskZarrCodec.from_dict(as_json) == codec
    clone = pickle.loads(pickle.dumps(codec))
    assert clone == codec and hash(clone) == hash(codec)


def test_entry_points_find_both_codecs_in_a_fresh_process():
    code = """
import sys
import numcodecs
from zarr.registry import get_codec_class
c = numcodecs.get_codec({"id": "vantoresk", "scale": 9, "max_abs_error": [0.1, 0.2]})
z = get_codec_class("vantoresk")
print(type(c).__module__, c.scale, c.max_abs_error, z.__module__, z.__name__)
"""
    res = run_python(code)
    assert res.returncode == 0, res.stderr
    assert res.stdout.split() == ["vantoresk_zarr.numcodecs_codec", "9", "[0.1,", "0.2]",
                                  "vantoresk_zarr.zarr3_codec", "VantoreskZarrCodec"]


def test_package_import_loads_no_store_library_and_names_the_missing_extra():
    code = """
import sys
import vantoresk_zarr
assert "zarr" not in sys.modules and "numcodecs" not in sys.modules, "eager import"
sys.modules["numcodecs"] = None   # as if the extra were not installed
try:
    vantoresk_zarr.VantoreskCodec
except ImportError as exc:
    print(exc)
"""
    res = run_python(code)
    assert res.returncode == 0, res.stderr
    assert "pip install vantoresk[zarr]" in res.stdout


@pytest.mark.parametrize("kwargs,match", [
    ({"method": "haar"}, "method must be one of"),
    ({"scale": 13}, "scale must be an integer from 6 to 12"),
    ({"scale": 11.0}, "scale must be an integer"),
    ({"cutoff": "max"}, "cutoff must be one of"),
    ({"coder": "zstd"}, "coder must be one of"),
    ({"axis": "time"}, "axis must be an integer"),
    ({"max_abs_error": -1}, "max_abs_error must be a positive finite number"),
    ({"max_prdn": float("nan")}, "max_prdn must be a positive finite number"),
    ({"max_abs_error": []}, "must not be an empty list"),
    ({"max_abs_error": 0.1, "max_prdn": 1.0}, "not both"),
])
@pytest.mark.parametrize("cls", [VantoreskCodec, VantoreskZarrCodec])
def test_bad_settings_are_refused_when_the_codec_is_made(cls, kwargs, match):
    with pytest.raises(ValueError, match=match):
        cls(**kwargs)


def test_unknown_options_in_a_stored_config_are_named():
    import numcodecs

    with pytest.raises(TypeError, match="unknown vantoresk codec option 'level'"):
        numcodecs.get_codec({"id": "vantoresk", "level": 5})
    with pytest.raises(TypeError, match="unknown vantoresk codec option 'level'"):
        VantoreskZarrCodec.from_dict({"name": "vantoresk", "configuration": {"level": 5}})


@pytest.mark.parametrize("data,match", [
    (np.zeros((2, 10), np.int64), "not int64"),
    (np.zeros(10, np.float16), "not float16"),
    (np.zeros((2, 10), np.float32), "lists 3 values but the chunk has 2 lanes"),
])
def test_numcodecs_encode_refuses_what_it_cannot_store(data, match):
    with pytest.raises(ValueError, match=match):
        VantoreskCodec(max_abs_error=[1, 2, 3]).encode(data)


def test_numcodecs_decode_fills_out_and_bad_axis_is_caught():
    data = np.asfortranarray(np.random.default_rng(2).normal(size=(4, 64)))
    codec = VantoreskCodec(axis=0, scale=12)
    frame = codec.encode(data)
    out = np.empty(data.shape)  # C order: filled by value, not by raw memory
    assert codec.decode(frame, out=out) is out
    assert np.array_equal(out, decode_lanes(frame)) and np.allclose(out, data, atol=1e-2)
    with pytest.raises(ValueError, match="axis 2 is out of range"):
        VantoreskCodec(axis=2).encode(data)
