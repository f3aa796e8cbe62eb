"""write_parallel stores exactly the chunks the filter stores, and refuses
regions and pipelines it cannot write whole; read_parallel reads what h5py reads."""

from __future__ import annotations

import h5py
import numpy as np
import pytest

import vantoresk_hdf5
from hdf5_helpers import ecg_60s
from vantoresk_hdf5 import VantoreskFilter, read_parallel, write_parallel


def _chunks(d: h5py.Dataset) -> dict:
    out = {}
    for i in range(d.id.get_num_chunks()):
        info = d.id.get_chunk_info(i)
        out[info.chunk_offset] = d.id.read_direct_chunk(info.chunk_offset)
    return out


@pytest.mark.parametrize("layout", ["tc_f64be_nanfill", "ct_i16", "ct_f32_3d"])
def test_parallel_chunks_equal_the_filters_own(tmp_path, layout):
    ecg = ecg_60s()
    data, chunks, kw, fill = {
        "tc_f64be_nanfill": (ecg.T.astype(">f8"), (5000, 2), dict(max_abs_error=0.002, axis=0), np.nan),
        "ct_i16": (np.round(ecg / 0.005).astype("<i2"), (1, 6000), dict(max_abs_error=1), None),
        "ct_f32_3d": (np.stack([ecg, -ecg]), (2, 1, 4000), dict(max_prdn=1.0), None),
    }[layout]
    with h5py.File(tmp_path / "x.h5", "w") as f:
        extra = {} if fill is None else {"fillvalue": fill}
        plain = f.create_dataset("plain", data=data, chunks=chunks, **extra, **VantoreskFilter(**kw))
        threaded = f.create_dataset("threaded", shape=data.shape, dtype=data.dtype, chunks=chunks, **extra,
                                    **VantoreskFilter(**kw))
        write_parallel(threaded, data, workers=3)
        assert _chunks(threaded) == _chunks(plain)
        # Two chunk-aligned pieces, the second ending at the dataset's edge.
        halves = f.create_dataset("halves", shape=data.shape, dtype=data.dtype, chunks=chunks, **extra,
                                  **VantoreskFilter(**kw))
        axis = kw.get("axis", -1) % data.ndim
        cut = 2 * chunks[axis]
        first, second = np.split(data, [cut], axis=axis)
        write_parallel(halves, first, workers=2)
        write_parallel(halves, second, offset=tuple(cut if i == axis else 0 for i in range(data.ndim)), workers=2)
        assert _chunks(halves) == _chunks(plain)
        assert np.array_equal(threaded[...], plain[...], equal_nan=True)


def test_parallel_write_refuses_what_it_cannot_write_whole(tmp_path):
    x = np.zeros((2, 1000), "<f4")
    with h5py.File(tmp_path / "x.h5", "w") as f:
        d = f.create_dataset("d", shape=(2, 1000), dtype="<f4", chunks=(2, 300), **VantoreskFilter())
        with pytest.raises(ValueError, match="start and end on chunk boundaries"):
            write_parallel(d, x[:, :100], offset=(0, 50))
        with pytest.raises(ValueError, match="start and end on chunk boundaries"):
            write_parallel(d, x[:, :500])
        with pytest.raises(ValueError, match="does not fit"):
            write_parallel(d, x[:, :600], offset=(0, 600))
        with pytest.raises(ValueError, match="dimensions"):
            write_parallel(d, x[0])
        shuffled = f.create_dataset("s", shape=(2, 1000), dtype="<f4", chunks=(2, 300), shuffle=True,
                                    **VantoreskFilter())
        with pytest.raises(ValueError, match="only filter is vantoresk"):
            write_parallel(shuffled, x)
        plain = f.create_dataset("p", shape=(2, 1000), dtype="<f4", chunks=(2, 300))
        with pytest.raises(ValueError, match="only filter is vantoresk"):
            write_parallel(plain, x)
        assert d.id.get_num_chunks() == 0  # nothing was written by a refused call


def test_encoding_errors_surface_as_exceptions(tmp_path):
    # The chunk encoder refuses parameters that do not describe the chunk.
    from vantoresk_hdf5 import _plugin

    with pytest.raises(ValueError, match="without the chunk's shape"):
        _plugin.encode_chunk(vantoresk_hdf5.cd_values(), np.zeros(10, "<f4"))


def test_parallel_read_equals_h5py_on_regions_edges_and_missing_chunks(tmp_path):
    ecg = ecg_60s().astype(">f4")
    with h5py.File(tmp_path / "x.h5", "w") as f:
        d = f.create_dataset("x", shape=(3, ecg.shape[1]), dtype=">f4", chunks=(2, 5000), fillvalue=np.nan,
                             **VantoreskFilter(max_abs_error=0.005))
        d[:2, :15000] = ecg[:, :15000]  # the chunks of row 2 and past 15000 are never written
        d[2, 20000:] = ecg[0, 20000:]   # an edge chunk
    with h5py.File(tmp_path / "x.h5", "r") as f:
        d = f["x"]
        for sel in [None, (slice(1, 3), slice(4999, 20001)), (slice(0, 1), slice(-700, None)), (slice(2, 2), slice(None))]:
            expected = d[...] if sel is None else d[sel]
            got = read_parallel(d, sel, workers=3)
            assert got.dtype == expected.dtype and np.array_equal(got, expected, equal_nan=True), sel
        with pytest.raises(ValueError, match="contiguous slices"):
            read_parallel(d, (slice(None), slice(0, 100, 2)))
