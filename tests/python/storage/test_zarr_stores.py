"""Round trips through Zarr v2 (numcodecs) and Zarr v3 (serializer) arrays."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from storage_helpers import ecg_60s, run_python, same_bits

zarr = pytest.importorskip("zarr")
from vantoresk_zarr import VantoreskCodec, VantoreskZarrCodec  # noqa: E402

TARGET = 0.01


def make_array(fmt, shape, chunks, dtype, order="C", shards=None, **codec_args):
    store = zarr.storage.MemoryStore()
    common = dict(store=store, shape=shape, chunks=chunks, dtype=dtype, fill_value=0.0)
    if fmt == 2:
        return zarr.create_array(compressors=VantoreskCodec(**codec_args), zarr_format=2, order=order, **common)
    return zarr.create_array(serializer=VantoreskZarrCodec(**codec_args), compressors=None, shards=shards,
                             zarr_format=3, config={"order": order}, **common)


@st.composite
def layouts(draw):
    """Array and chunk shapes with partial edge chunks, chunks of 1 to a few samples, optional shards."""
    ndim = draw(st.integers(1, 3))
    shape = tuple(draw(st.integers(1, 40 if d == ndim - 1 else 4)) for d in range(ndim))
    chunks = tuple(draw(st.integers(1, max(1, s))) for s in shape)
    fmt = draw(st.sampled_from([2, 3]))
    shards = None
    if fmt == 3 and draw(st.booleans()):
        shards = tuple(c * draw(st.integers(1, 2)) for c in chunks)
    return fmt, shape, chunks, shards


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(layouts(), st.sampled_from(["float32", "float64"]), st.sampled_from(["C", "F"]),
       st.sampled_from([0, -1]), st.data())
def test_arrays_round_trip_within_target(layout, dtype, order, axis, data):
    fmt, shape, chunks, shards = layout
    values = data.draw(hnp.arrays(dtype, shape, elements=st.floats(-100, 100, width=32)
                                  | st.sampled_from([np.nan, np.inf])))
    arr = make_array(fmt, shape, chunks, dtype, order, shards, axis=axis, max_abs_error=TARGET)
    arr[...] = values
    back = arr[...]
    assert back.dtype == np.dtype(dtype) and back.shape == shape
    bad = ~np.isfinite(values)
    assert same_bits(back[bad], values[bad])
    assert np.all(np.abs(back[~bad].astype(np.float64) - values[~bad]) <= TARGET)


@pytest.mark.parametrize("fmt", [2, 3])
def test_per_channel_targets_on_a_recording_read_by_slice(fmt):
    ecg = ecg_60s().astype(np.float64) * [[1.0], [1000.0]]  # second channel in uV, own step
    steps = [0.005, 5.0]
    arr = make_array(fmt, ecg.shape, (2, 5000), "float64", max_abs_error=steps)
    arr[:] = ecg
    err = np.max(np.abs(arr[:] - ecg), axis=1)
    assert np.all(err <= steps) and err[1] > 0.005  # each lane held to its own target
    assert np.array_equal(arr[:, 7000:7100], arr[:][:, 7000:7100])


def test_zarr3_validation_happens_at_creation():
    with pytest.raises(ValueError, match="float32, float64, int8, int16, int32, uint8 or uint16 arrays, not int64"):
        make_array(3, (2, 100), (2, 50), "int64")
    with pytest.raises(ValueError, match="axis 2 is out of range"):
        make_array(3, (2, 100), (2, 50), "float32", axis=2)
    with pytest.raises(ValueError, match="lists 3 values but the chunk has 2 lanes"):
        make_array(3, (2, 100), (2, 50), "float32", max_abs_error=[1, 2, 3])


def test_zarr3_damaged_chunk_raises_value_error(tmp_path):
    arr = zarr.create_array(tmp_path / "a.zarr", shape=(200,), chunks=(100,), dtype="float32",
                            serializer=VantoreskZarrCodec(), compressors=None)
    arr[:] = np.linspace(0, 1, 200, dtype=np.float32)
    chunk = next(p for p in (tmp_path / "a.zarr").rglob("*") if p.is_file() and p.name != "zarr.json")
    raw = bytearray(chunk.read_bytes())
    raw[len(raw) // 2] ^= 0x40
    chunk.write_bytes(bytes(raw))
    with pytest.raises(ValueError, match="checksum mismatch"):
        zarr.open_array(tmp_path / "a.zarr", mode="r")[:]


@pytest.mark.parametrize("fmt", [2, 3])
def test_a_fresh_process_reads_the_store(tmp_path, fmt):
    path = tmp_path / f"v{fmt}.zarr"
    ecg = ecg_60s()
    common = dict(shape=ecg.shape, chunks=(2, 7200), dtype="float32", zarr_format=fmt)
    if fmt == 2:
        arr = zarr.create_array(path, compressors=VantoreskCodec(max_prdn=1.0), **common)
    else:
        arr = zarr.create_array(path, serializer=VantoreskZarrCodec(max_prdn=1.0), compressors=None, **common)
    arr[:] = ecg
    np.save(tmp_path / "want.npy", arr[:])
    res = run_python(f"""
import numpy as np, zarr
got = zarr.open_array({str(path)!r}, mode="r")[:]
assert np.array_equal(got, np.load({str(tmp_path / 'want.npy')!r}))
print("ok")
""")
    assert res.returncode == 0 and res.stdout.strip() == "ok", res.stderr
