"""Files written with h5py, read by other programs through HDF5_PLUGIN_PATH:
R's hdf5r (Debian's HDF5 1.10) and the examples' one-line h5dump read."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys

import h5py
import numpy as np

from hdf5_helpers import EXAMPLES, REPO, ecg_60s, need_tool, plugin_env
from vantoresk_hdf5 import VantoreskFilter

R_READ = r"""
suppressMessages(library(hdf5r))
args <- commandArgs(trailingOnly = TRUE)
f <- H5File$new(args[1], mode = "r")
for (name in c("tc_f64be", "ct_f32_nan", "ct_i16")) {
  x <- f[[name]]$read()
  con <- file(file.path(args[2], paste0(name, ".bin")), "wb")
  writeBin(as.double(x), con, size = 8)
  close(con)
  cat(name, dim(x), "\n")
}
f$close_all()
"""


def test_r_hdf5r_reads_through_the_plugin(tmp_path):
    rscript = need_tool("Rscript")
    ecg = ecg_60s()
    ct_nan = ecg.astype("<f4")
    ct_nan[1, 500:600] = np.nan
    data = {"tc_f64be": (ecg.T.astype(">f8"), (4000, 2), dict(max_abs_error=0.001, axis=0), 0.001),
            "ct_f32_nan": (ct_nan, (2, 5000), dict(max_abs_error=0.005), 0.005),
            "ct_i16": (np.round(ecg / 0.005).astype("<i2"), (1, 7000), dict(max_abs_error=0), 0)}
    path = tmp_path / "for_r.h5"
    with h5py.File(path, "w") as f:
        for name, (x, chunks, kw, _) in data.items():
            f.create_dataset(name, data=x, chunks=chunks, fillvalue=np.nan if x.dtype.kind == "f" else 0,
                             **VantoreskFilter(**kw))
    with h5py.File(path, "r") as f:
        decoded = {name: f[name][...] for name in data}
    script = tmp_path / "read.R"
    script.write_text(R_READ)
    res = subprocess.run([rscript, str(script), str(path), str(tmp_path)], capture_output=True, text=True,
                         env={**os.environ, **plugin_env()}, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    for name, (x, _, _, bound) in data.items():
        # hdf5r gives dimensions fastest first: the C-order values in R's column order.
        got = np.fromfile(tmp_path / f"{name}.bin", dtype="<f8").reshape(x.shape)
        assert np.array_equal(np.isnan(got), np.isnan(x.astype(np.float64)))
        assert np.array_equal(got, decoded[name].astype(np.float64), equal_nan=True)
        finite = np.isfinite(got)
        assert np.max(np.abs(got[finite] - x[finite].astype(np.float64))) <= bound


def _run_example(script: str, tmp_path, *extra: str) -> str:
    env = {**os.environ, "VANTORESK_DATA": "", "VANTORESK_NO_SHARED": "1"}  # the data in the repository
    res = subprocess.run([sys.executable, str(EXAMPLES / script), "--seconds", "30", *extra], capture_output=True,
                         text=True, timeout=300, env=env, cwd=tmp_path)
    assert res.returncode == 0, res.stdout + res.stderr
    return res.stdout


def test_examples_run_and_the_readme_h5dump_line_reads_their_file(tmp_path):
    out = _run_example("hdf5_h5py.py", tmp_path, "--store", str(tmp_path / "ecg.h5"))
    assert "largest error" in out and "counts: exact" in out
    try:
        import pynwb  # noqa: F401
    except ImportError:
        pass  # the NWB example needs the nwb extra as well
    else:
        out = _run_example("nwb_hdf5.py", tmp_path, "--store", str(tmp_path / "ecg.nwb"))
        assert "read back in a fresh process: (10800, 2) int16, filter 32937 (vantoresk)" in out
    need_tool("h5dump")
    readme = (REPO / "README.md").read_text()
    line = next(l.strip() for l in readme.splitlines() if l.strip().startswith("HDF5_PLUGIN_PATH=$(python"))
    env = {**os.environ, "PATH": f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
    res = subprocess.run(["bash", "-c", line], capture_output=True, text=True, cwd=tmp_path, env=env, timeout=60)
    assert res.returncode == 0, res.stdout + res.stderr
    with h5py.File(tmp_path / "ecg.h5", "r") as f:
        expected = f["ecg_mv"][:, 3600:3604]
    rows = re.findall(r"\((\d),3600\): (.*)", res.stdout)
    dumped = np.array([[float(v) for v in row.split(",") if v.strip()] for _, row in rows])
    assert dumped.shape == (2, 4) and np.allclose(dumped, expected, rtol=1e-5, atol=0)  # h5dump prints 6 digits


def test_system_hdf5_writes_with_the_filter_through_h5repack(tmp_path):
    # Debian's h5repack (HDF5 1.10) applies the filter: can_apply and set_local
    # run inside that HDF5, and h5py reads the result.
    import vantoresk_hdf5

    h5repack = need_tool("h5repack")
    ecg = ecg_60s()
    with h5py.File(tmp_path / "plain.h5", "w") as f:
        f.create_dataset("ecg", data=ecg.astype(">f8"), chunks=(1, 8000))
        f.create_dataset("int64", data=np.arange(100, dtype="<i8"), chunks=(50,))
    cd = ",".join(map(str, vantoresk_hdf5.cd_values(max_abs_error=0.005)))
    res = subprocess.run([h5repack, "-v", "-f", f"UD=32937,0,10,{cd}", str(tmp_path / "plain.h5"),
                          str(tmp_path / "packed.h5")], capture_output=True, text=True, env={**os.environ, **plugin_env()},
                         timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    assert "could not create dataset </int64>" in res.stdout + res.stderr  # refused, copied as it was
    with h5py.File(tmp_path / "packed.h5", "r") as f:
        d = f["ecg"]
        stored = d.id.get_create_plist().get_filter_by_id(vantoresk_hdf5.FILTER_ID)[1]
        assert stored[10:] == (1, 2, 1, 8000)  # big-endian, chunk (1, 8000), filled in by that HDF5
        assert np.max(np.abs(d[...] - ecg)) <= 0.005
        assert d.id.get_storage_size() < ecg.size * 8 / 4
        assert f["int64"].id.get_create_plist().get_nfilters() == 0
