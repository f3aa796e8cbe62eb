"""Outputs that are not ours are never touched, usage errors exit 2 before
anything is written, and concurrent or interrupted runs leave nothing but
their own finished records behind."""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from archive_support import run_cli
from vantoresk_archive import ConvertOptions, convert_archive
from vantoresk_archive import store as st
from vantoresk_archive.cli import main


def snapshot(folder):
    """Every path below `folder` with its bytes (None for folders), links as links."""
    out = {}
    for root, dirs, files in os.walk(folder):
        for n in dirs + files:
            p = os.path.join(root, n)
            out[os.path.relpath(p, folder)] = (
                ("link", os.readlink(p)) if os.path.islink(p) else None if os.path.isdir(p) else open(p, "rb").read())
    return out


@pytest.fixture
def place(tmp_path):
    """Two small .npy records in `src`, and a user's folder of files and subfolders."""
    src = tmp_path / "src"
    src.mkdir()
    for i, name in enumerate(("a", "b")):
        np.save(src / f"{name}.npy", np.sin(np.arange(3000) / (10.0 + i)).astype(np.float32))
    mine = tmp_path / "mine"
    (mine / "sub" / "deeper").mkdir(parents=True)
    (mine / "notes.txt").write_text("keep me")
    (mine / "sub" / "data.bin").write_bytes(bytes(range(256)))
    (mine / "sub" / "deeper" / "zarr.json").write_text('{"not": "ours"}')
    return tmp_path, src, mine


def convert(*args, cwd=None):
    return main(["convert", *map(str, args), "--fs", "100", "-q"])


@pytest.mark.parametrize("out, why", [
    ("mine", "is not a vantoresk store"),
    ("mine/notes.txt", "is not a folder"),
    ("mine/sub/deeper", "is not a vantoresk store"),
    ("link", "is not a vantoresk store"),  # a link to the user's folder
    ("src", "the store is the source"),
    ("src/store.zarr", "lies inside the source folder"),
    ("src/a.npy", "lies inside the source folder"),
    (".", "the store holds the source"),
])
def test_every_refused_output_leaves_everything_as_it_was(place, monkeypatch, capsys, out, why):
    tmp_path, src, mine = place
    (tmp_path / "link").symlink_to(mine)
    monkeypatch.chdir(tmp_path)
    before = snapshot(tmp_path)
    assert convert(src, "-o", out) == 2
    err = capsys.readouterr().err
    assert err.startswith("vantoresk convert: error: ") and why in err and err.count("\n") == 1, err
    assert snapshot(tmp_path) == before


def test_a_store_holding_a_source_or_made_by_others_is_refused(place, capsys):
    tmp_path, src, _ = place
    store = tmp_path / "s.zarr"
    assert convert(src, "-o", store) == 0
    np.save(store / "c.npy", np.zeros(10))  # a source inside our own store
    assert convert(store / "c.npy", "-o", store) == 2
    assert "the store holds the source" in capsys.readouterr().err
    # A store of a layout newer than this version writes is left alone.
    meta = json.loads((store / "zarr.json").read_text())
    meta["attributes"]["vantoresk"] = {"writer": "vantoresk 9.0", "layout": 99}
    (store / "zarr.json").write_text(json.dumps(meta))
    assert convert(src, "-o", store) == 2
    assert "written by vantoresk 9.0 in store layout 99" in capsys.readouterr().err
    # A Zarr store that is not ours, with data in it, is not written to.
    import zarr

    other = tmp_path / "other.zarr"
    zarr.open_group(str(other), mode="w").create_array("x", shape=(4,), dtype="f4")[:] = 1
    before = snapshot(other)
    assert convert(src, "-o", other) == 2
    assert snapshot(other) == before


def test_an_empty_folder_and_a_store_from_before_the_mark_are_ours(place):
    tmp_path, src, _ = place
    empty = tmp_path / "empty"
    empty.mkdir()
    assert convert(src, "-o", empty) == 0
    assert st.record_names(str(empty)) == ["a", "b"]
    # A store written before the root carried our mark: record groups only.
    meta = empty / "zarr.json"
    meta.write_text('{"zarr_format": 3, "node_type": "group", "attributes": {}}')
    assert st.is_our_store(str(empty))
    assert convert(src, "-o", empty) == 0


@pytest.mark.parametrize("args, message", [
    (["{empty}", "-o", "s.zarr"], "no records (.hea, .edf, .bdf, .npy) found in"),
    (["{src}/gone.edf", "-o", "s.zarr"], "gone.edf: no such file or folder"),
    (["{src}", "-o", "s.zarr", "--max-abs-error", "0.1", "--max-prdn", "1"], "not allowed with argument"),
    (["{src}", "-o", "ftpx://host/s.zarr"], "unknown URL scheme 'ftpx://'"),
    (["{src}", "-o", "s.zarr", "--lossless", "--max-prdn", "1"], "lossless storage takes no error target"),
    (["{src}", "-o", "memory://s.zarr", "--workers", "2"], "lives in this process only"),
])
def test_usage_errors_exit_2_and_write_nothing(place, monkeypatch, capsys, args, message):
    tmp_path, src, _ = place
    (tmp_path / "empty").mkdir()
    monkeypatch.chdir(tmp_path)
    before = snapshot(tmp_path)
    try:
        status = convert(*(a.format(src=src, empty=tmp_path / "empty") for a in args))
    except SystemExit as exc:  # argparse's own usage errors
        status = exc.code
    assert status == 2
    assert message in capsys.readouterr().err
    assert snapshot(tmp_path) == before


def test_version_and_help_need_no_heavy_imports():
    r = run_cli("--version")
    assert r.returncode == 0 and r.stdout.startswith("vantoresk ") and r.stdout.strip() != "vantoresk"


def test_claims_exclude_each_other_and_die_with_their_process(tmp_path):
    store = str(tmp_path / "s.zarr")
    st.open_root(store, create=True)
    first = st.claim_record(store, "a")
    second = st.claim_record(store, "a")
    assert first.held and not second.held and f"process {os.getpid()}" in second.busy
    first.release()
    assert not os.path.exists(os.path.join(store, st.LOCKS, "a.lock"))
    again = st.claim_record(store, "a")
    assert again.held
    again.release()
    # A holder that is killed leaves no claim behind.
    code = ("import sys, time; from vantoresk_archive import store as st; c = st.claim_record(sys.argv[1], 'a'); "
            "print(c.held, flush=True); time.sleep(60)")
    holder = subprocess.Popen([sys.executable, "-c", code, store], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "True"
        assert not st.claim_record(store, "a").held
    finally:
        holder.kill()
        holder.wait()
    assert st.claim_record(store, "a").held


def test_a_record_another_run_holds_is_left_alone(place, capsys):
    tmp_path, src, _ = place
    store = str(tmp_path / "s.zarr")
    st.open_root(store, create=True)
    held = st.claim_record(store, "a")
    work = tmp_path / "s.zarr" / st.PARTIAL / "a.0123456789ab"
    work.mkdir(parents=True)
    (work / "chunk").write_bytes(b"in progress")
    try:
        result = convert_archive([str(src)], store, ConvertOptions(sampling_rate=100.0))
    finally:
        held.release()
    status = {r.name: (r.status, r.reason) for r in result.records}
    assert status["b"] == ("converted", "") and status["a"][0] == "skipped"
    assert "being converted by process" in status["a"][1]
    assert (work / "chunk").read_bytes() == b"in progress"
    assert st.record_names(store) == ["b"]


def test_two_runs_on_one_store_share_the_work(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    for i in range(8):
        np.save(src / f"r{i}.npy", np.sin(np.arange(20_000) / (5.0 + i)).astype(np.float32))
    store = tmp_path / "s.zarr"
    cmd = [sys.executable, "-m", "vantoresk_archive", "convert", str(src), "-o", str(store), "--fs", "100",
           "--max-prdn", "1", "--chunk-seconds", "20"]
    runs = [subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(2)]
    outs = [r.communicate(timeout=300) for r in runs]
    assert [r.returncode for r in runs] == [0, 0], outs
    assert not any("failed:" in err for _, err in outs), outs
    converted = sum(int(out.splitlines()[-1].split()[0]) for out, _ in outs)
    assert converted >= 8 and st.record_names(str(store)) == [f"r{i}" for i in range(8)]
    from vantoresk_archive.read import list_records

    assert sorted(list_records(str(store))) == [f"r{i}" for i in range(8)]
    assert sorted(os.listdir(store)) == [f"r{i}" for i in range(8)] + ["zarr.json"]


def test_interrupts_leave_no_half_made_record(place, monkeypatch):
    from vantoresk_archive import record
    from vantoresk_archive.archive import Interrupted
    from vantoresk_archive.readers import npy_reader

    tmp_path, src, _ = place
    store = tmp_path / "s.zarr"
    read = npy_reader.NpyReader.read_stored

    def stop_in_b(self, group, start, stop):
        if self.name == "b":
            raise KeyboardInterrupt
        return read(self, group, start, stop)

    monkeypatch.setattr(npy_reader.NpyReader, "read_stored", stop_in_b)
    with pytest.raises(Interrupted, match="1 unfinished record"):
        convert_archive([str(src)], str(store), ConvertOptions(sampling_rate=100.0))
    assert st.record_names(str(store)) == ["a"]
    assert sorted(os.listdir(store)) == ["a", "zarr.json"]
    monkeypatch.undo()

    # Interrupted while the record's arrays are being created.
    def stop_creating(*a, **k):
        raise KeyboardInterrupt

    monkeypatch.setattr(record, "_create_arrays", stop_creating)
    with pytest.raises(KeyboardInterrupt):
        convert_archive([str(src)], str(store), ConvertOptions(sampling_rate=100.0))
    assert sorted(os.listdir(store)) == ["a", "zarr.json"]
    monkeypatch.undo()

    # Interrupted between moving the old record aside and the new one in:
    # the old one goes back.
    old = snapshot(store / "a")
    rename, calls = os.rename, []

    def second_rename_interrupted(a, b):
        calls.append(b)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return rename(a, b)

    monkeypatch.setattr(st.os, "rename", second_rename_interrupted)
    with pytest.raises(KeyboardInterrupt):
        convert_archive([str(src / "a.npy")], str(store), ConvertOptions(sampling_rate=100.0, overwrite=True))
    monkeypatch.undo()
    assert snapshot(store / "a") == old
    assert sorted(os.listdir(store)) == ["a", "zarr.json"]


def test_ctrl_c_under_workers_is_one_line_and_exit_130(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    rng = np.random.default_rng(1)
    for i in range(12):
        np.save(src / f"r{i}.npy", rng.standard_normal((4, 400_000)).astype(np.float32))
    store = tmp_path / "s.zarr"
    proc = subprocess.Popen([sys.executable, "-m", "vantoresk_archive", "convert", str(src), "-o", str(store),
                             "--fs", "100", "--workers", "2", "--max-prdn", "1", "-q"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.time() + 120
    while not (store / st.LOCKS).exists() and proc.poll() is None and time.time() < deadline:
        time.sleep(0.02)
    # The cluster is up and the first records are claimed: their tasks are running.
    os.killpg(proc.pid, signal.SIGINT)  # as the terminal does: to every process of the group
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err
    assert err.startswith("vantoresk convert: interrupted") and err.count("\n") == 1, err
    left = sorted(os.listdir(store))
    assert st.PARTIAL not in left and st.LOCKS not in left


def test_file_commands_never_write_over_a_users_file(reference_store, tmp_path, capsys):
    np.save(tmp_path / "x.npy", np.sin(np.arange(4000) / 9.0))
    for name in ("x.vtr", "y.npy", "rec.npy", "rec.edf", "w.dat"):
        (tmp_path / name).write_bytes(b"the user's own")
    cases = [
        ["compress", str(tmp_path / "x.npy"), "-o", str(tmp_path / "x.vtr")],
        ["decompress", str(tmp_path / "x.vtr"), "-o", str(tmp_path / "y")],  # np.save adds .npy
        ["export", str(reference_store), "mitdb100", "-o", str(tmp_path / "rec")],
        ["export", str(reference_store), "mitdb100", "-o", str(tmp_path / "rec.edf"), "--format", "edf"],
        ["export", str(reference_store), "mitdb100", "-o", str(tmp_path / "w"), "--format", "wfdb"],
    ]
    before = snapshot(tmp_path)
    for cmd in cases:
        assert main(cmd) == 2, cmd
        assert "exists; give --overwrite to replace it" in capsys.readouterr().err
    assert snapshot(tmp_path) == before
    # A report replaces only an earlier report, never another file.
    (tmp_path / "r.csv").write_text("name,notes\nmine,keep\n")
    assert main(["info", str(reference_store), "--report", str(tmp_path / "r.csv")]) == 2
    assert "is not a report of ours" in capsys.readouterr().err
    assert snapshot(tmp_path) == before | {"r.csv": b"name,notes\nmine,keep\n"}
    assert main(["info", str(reference_store), "--report", str(tmp_path / "new.csv")]) == 0
    assert main(["info", str(reference_store), "--report", str(tmp_path / "new.csv")]) == 0
    assert main(cases[0] + ["--overwrite"]) == 0 and (tmp_path / "x.vtr").read_bytes()[:4] == b"VNLF"
    assert main(cases[4] + ["--overwrite"]) == 0 and (tmp_path / "w.hea").exists()
