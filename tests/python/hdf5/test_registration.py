"""Registration with h5py: importing the package registers the filter over one
HDF5 already loaded from HDF5_PLUGIN_PATH, and importing it again is harmless."""

from __future__ import annotations

from hdf5_helpers import plugin_env, run_python


def test_registering_over_a_plugin_loaded_by_path(tmp_path):
    path = tmp_path / "x.h5"
    code = f"""
import h5py, numpy as np, importlib
x = np.sin(np.arange(20000) / 30).astype("<f4").reshape(2, 10000)
import vantoresk_hdf5
with h5py.File({str(path)!r}, "w") as f:
    f.create_dataset("x", data=x, chunks=(2, 4000), **vantoresk_hdf5.VantoreskFilter(max_abs_error=1e-3))
importlib.reload(vantoresk_hdf5)
vantoresk_hdf5.register(force=True)
with h5py.File({str(path)!r}, "r") as f:
    assert np.max(np.abs(f["x"][...] - x)) <= 1e-3
print("ok")
"""
    # First read through the path (HDF5 loads the plugin itself), then import and re-register.
    reader = f"""
import h5py, numpy as np
f = h5py.File({str(path)!r}, "r")
before = f["x"][...]
import vantoresk_hdf5
vantoresk_hdf5.register(force=True)
assert np.array_equal(f["x"][...], before)
print(vantoresk_hdf5.FILTER_ID, h5py.h5z.filter_avail(vantoresk_hdf5.FILTER_ID))
"""
    res = run_python(code)
    assert res.returncode == 0 and res.stdout.strip() == "ok", res.stderr
    res = run_python(reader, env=plugin_env())
    assert res.returncode == 0, res.stderr
    assert res.stdout.split() == ["32937", "True"]
