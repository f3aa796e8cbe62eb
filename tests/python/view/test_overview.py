"""The overview pyramid: its levels are the decoded samples' block extremes
(gaps and integer fill values left out), convert writes it, `index` adds it
to older stores without touching anything that is not its own."""

import shutil
import subprocess
import sys

import numpy as np
import pytest
import zarr

from vantoresk_archive import overview as ov
from view_support import block_reference


def _check_levels(group, name):
    arr = group[name]
    attrs = dict(arr.attrs)
    raw = arr[...]
    x = ov.to_physical(raw, float(attrs.get("scale_factor", 1.0)), float(attrs.get("add_offset", 0.0)),
                       attrs.get("_FillValue")).astype(np.float64)
    o = ov.open_overview(group, name)
    assert o is not None
    for lv in o.levels:
        lo, hi = o.read(lv.index, 0, lv.blocks)
        ref_lo, ref_hi = block_reference(x, lv.block)
        np.testing.assert_array_equal(lo, ref_lo.astype(np.float32))
        np.testing.assert_array_equal(hi, ref_hi.astype(np.float32))
    return o


def test_converted_levels_are_block_extremes_of_decoded_samples(store):
    for rec in ("ecg", "mixed"):
        group = zarr.open_group(str(store / rec), mode="r")
        for name in group.attrs["arrays"]:
            o = _check_levels(group, name)
            assert o.levels[0].block == ov.BLOCK


def test_many_levels_gaps_and_integer_fill(tmp_path):
    group = zarr.open_group(str(tmp_path / "rec.zarr"), mode="w", zarr_format=3)
    rng = np.random.default_rng(5)
    f = rng.normal(size=(3, 5000)).astype(np.float32)
    f[1, 100:400] = np.nan  # whole blocks missing, and parts of others
    f[2, :] = np.nan
    group.create_array("floats", shape=f.shape, chunks=(3, 777), dtype="float32", fill_value=np.nan)[...] = f
    i = rng.integers(-3000, 3000, size=(2, 4099)).astype(np.int16)
    i[0, 64:200] = -32768
    ints = group.create_array("ints", shape=i.shape, chunks=(2, 1000), dtype="int16", fill_value=-32768,
                              attributes={"scale_factor": -0.005, "add_offset": 1.5, "_FillValue": -32768})
    ints[...] = i
    for name in ("floats", "ints"):
        levels = ov.write_overview(group, name, block=16, factor=3, top=20)
        assert len(levels) >= 4 and levels[-1].blocks <= 20
        _check_levels(group, name)
    group.create_array("empty", shape=(2, 0), chunks=(2, 100), dtype="float32", fill_value=np.nan)
    (only,) = ov.write_overview(group, "empty")
    assert only.blocks == 0 and ov.open_overview(group, "empty").read(0, 0, 0)[0].shape == (2, 0)
    lo, hi = ov.open_overview(group, "ints").read(0, 4, 12)
    assert np.isnan(lo[0, 4:12]).all() and np.isnan(hi[0, 4:12]).all()  # only fill values there
    assert (lo[1] <= hi[1]).all()  # a negative scale swaps the stored extremes back


def test_stale_or_unfinished_pyramid_is_ignored(tmp_path, store):
    copy = tmp_path / "a.zarr"
    shutil.copytree(store, copy)
    group = zarr.open_group(str(copy / "ecg"), mode="r+")
    target = group["overview/signals"]
    meta = dict(target.attrs)[ov.OVERVIEW]
    target.attrs[ov.OVERVIEW] = {**meta, "samples": meta["samples"] - 1}
    assert ov.open_overview(group, "signals") is None
    del target.attrs[ov.OVERVIEW]
    assert ov.open_overview(group, "signals") is None


def _files(folder):
    return {p.relative_to(folder): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def _cli(*args):
    return subprocess.run([sys.executable, "-m", "vantoresk_archive", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


def test_index_restores_pyramids_and_refuses_what_is_not_ours(tmp_path, store):
    copy = tmp_path / "older.zarr"
    shutil.copytree(store, copy)
    before = _files(copy / "ecg" / "overview")
    for rec in ("ecg", "mixed"):
        shutil.rmtree(copy / rec / "overview")
    r = _cli("index", copy)
    assert r.returncode == 0, r.stderr
    assert "3 arrays indexed" in r.stdout
    assert _files(copy / "ecg" / "overview") == before
    assert _cli("index", copy).stdout.strip().endswith("0 arrays indexed")

    # A user's own array where the pyramid would go is left alone; the
    # other records are still indexed.
    shutil.rmtree(copy / "mixed" / "overview")
    shutil.rmtree(copy / "ecg" / "overview")
    user = zarr.open_group(str(copy / "mixed"), mode="r+", use_consolidated=False).create_array(
        "overview", shape=(3,), dtype="int8")
    user[...] = [1, 2, 3]
    snapshot = _files(copy / "mixed" / "overview")
    r = _cli("index", copy)
    assert r.returncode == 1
    assert len(r.stderr.strip().splitlines()) == 2 and "not an overview pyramid" in r.stderr
    assert "1 arrays indexed, 2 refused" in r.stdout
    assert _files(copy / "mixed" / "overview") == snapshot
    assert _files(copy / "ecg" / "overview") == before


def test_index_refuses_a_store_not_ours(tmp_path):
    folder = tmp_path / "theirs.zarr"
    zarr.open_group(str(folder), mode="w", zarr_format=3).create_array("data", shape=(4,), dtype="int8")
    snapshot = _files(folder)
    r = _cli("index", folder)
    assert r.returncode == 2 and "not a store written by vantoresk" in r.stderr
    assert _files(folder) == snapshot


def test_index_needs_a_store(tmp_path):
    r = _cli("index", tmp_path / "missing.zarr")
    assert r.returncode == 1 and "Traceback" not in r.stderr


@pytest.mark.parametrize("n", [0, 1, ov.BLOCK - 1, ov.BLOCK, ov.BLOCK + 1, 10 ** 8])
def test_level_plan_edges(n):
    levels = ov.level_plan(n)
    assert levels[0].blocks == -(-n // ov.BLOCK) and levels[-1].blocks <= ov.MAX_TOP_BLOCKS
