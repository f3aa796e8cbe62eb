"""Dask runs and interrupted runs give the same store as one serial run."""

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

from archive_support import same_tree
from vantoresk_archive import ConvertOptions, convert_archive
from vantoresk_archive.store import record_names


def test_two_local_workers_write_the_serial_store(archive, reference_store, tmp_path):
    """Records of more than 2 chunks are split into tasks of 2 chunks."""
    folder, built = archive
    store = tmp_path / "dask.zarr"
    result = convert_archive([str(folder)], str(store), ConvertOptions(max_abs_error="adc", chunk_seconds=5),
                             workers=2, part_chunks=2)
    assert [r.status for r in result.records] == ["converted"] * len(built)
    assert same_tree(reference_store, store)


KILLER = textwrap.dedent("""
    import os, signal, sys
    from vantoresk_archive import ConvertOptions, convert_archive
    from vantoresk_archive.readers import wfdb_reader

    read = wfdb_reader.WfdbReader.read_stored
    blocks = []

    def read_then_die(self, group, start, stop):
        if self.name == "mitdb100":
            blocks.append(start)
            if len(blocks) == 3:  # two chunks written, the process dies in the third
                os.kill(os.getpid(), signal.SIGKILL)
        return read(self, group, start, stop)

    wfdb_reader.WfdbReader.read_stored = read_then_die
    convert_archive([sys.argv[1]], sys.argv[2], ConvertOptions(max_abs_error="adc", chunk_seconds=5))
""")


def test_killed_conversion_leaves_no_partial_record_and_rerun_completes(archive, reference_store, tmp_path):
    import zarr

    folder, built = archive
    store = tmp_path / "killed.zarr"
    proc = subprocess.run([sys.executable, "-c", KILLER, str(folder), str(store)], capture_output=True, text=True,
                          env=dict(os.environ), timeout=300)
    assert proc.returncode == -signal.SIGKILL, proc.stderr
    # Records are taken in sorted order: the ones before mitdb100 were
    # finished, it died mid-way, ptb24 and s0010_re never started.
    done = ["03700181", "a103l", "abp32", "eegmat", "eegmat_bdf", "icu"]
    assert record_names(str(store)) == done
    assert sorted(zarr.open_group(str(store), mode="r").group_keys()) == done
    assert [p.name.split(".")[0] for p in (store / ".partial").iterdir()] == ["mitdb100"]

    result = convert_archive([str(folder)], str(store), ConvertOptions(max_abs_error="adc", chunk_seconds=5))
    assert {r.name: r.status for r in result.records} == {
        **{name: "skipped" for name in done}, "mitdb100": "converted", "ptb24": "converted",
        "s0010_re": "converted"}
    assert not (store / ".partial").exists()
    assert same_tree(reference_store, store)


def test_leftovers_are_cleared_per_record_name_exactly(tmp_path):
    """Starting record "a" clears what a killed run left of "a", never the
    temporary folder another task is writing for "a.b"."""
    from vantoresk_archive import store as st

    store = str(tmp_path / "s.zarr")
    st.open_root(store, create=True)
    stale_a = Path(st.begin_record(store, "a"))
    busy_ab = Path(st.begin_record(store, "a.b"))
    fresh_a = Path(st.begin_record(store, "a"))
    assert not stale_a.exists() and busy_ab.exists() and fresh_a.exists()
