"""Stores at fsspec URLs go through zarr's own storage: memory:// in this
process and s3:// against a local S3 server, never a local folder named
after the scheme."""

import os

import numpy as np
import pytest

from vantoresk_archive import ConvertOptions, convert_archive
from vantoresk_archive import store as st
from vantoresk_archive.cli import main
from vantoresk_archive.read import list_records, read_record


@pytest.fixture
def two_records(archive):
    _, built = archive
    return [str(built[n].path) for n in ("mitdb100", "a103l")]


def check_url_store(url, sources, local, capsys, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    assert main(["convert", *sources, "-o", url, "--max-abs-error", "adc", "-q"]) == 0
    assert sorted(os.listdir(tmp_path)) == ["local.zarr"]  # nothing named after the scheme
    assert sorted(list_records(url)) == ["a103l", "mitdb100"]
    for name in ("a103l", "mitdb100"):
        assert np.array_equal(read_record(url, name).data, read_record(local, name).data)
    assert main(["info", url]) == 0
    assert "mitdb100" in capsys.readouterr().out
    # Re-run: finished records skipped; other settings refused; --overwrite replaces.
    assert main(["convert", sources[0], "-o", url, "--max-abs-error", "adc", "-q"]) == 0
    assert main(["convert", sources[0], "-o", url, "--scale", "8", "-q"]) == 2
    assert "give --overwrite" in capsys.readouterr().err
    assert main(["convert", sources[0], "-o", url, "--scale", "8", "--overwrite", "-q"]) == 0
    assert st.record_names(url) == ["a103l", "mitdb100"]
    assert not [e for e in st._entries(url) if e.startswith(".")]


def test_memory_store(two_records, capsys, monkeypatch, tmp_path):
    local = str(tmp_path / "local.zarr")
    assert not convert_archive(two_records, local, ConvertOptions(max_abs_error="adc")).failed
    check_url_store("memory://vtk-test/archive.zarr", two_records, local, capsys, monkeypatch, tmp_path)
    import fsspec

    fsspec.filesystem("memory").pipe("/vtk-test/theirs/data.bin", b"x")
    assert main(["convert", two_records[0], "-o", "memory://vtk-test/theirs", "-q"]) == 2
    assert fsspec.filesystem("memory").cat("/vtk-test/theirs/data.bin") == b"x"


def test_s3_store_on_a_local_server(two_records, capsys, monkeypatch, tmp_path):
    pytest.importorskip("s3fs")
    server = pytest.importorskip("moto.server")
    srv = server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    srv.start()
    try:
        host, port = srv.get_host_and_port()
        for k, v in {"AWS_ACCESS_KEY_ID": "test", "AWS_SECRET_ACCESS_KEY": "test",
                     "AWS_ENDPOINT_URL": f"http://{host}:{port}", "AWS_DEFAULT_REGION": "us-east-1"}.items():
            monkeypatch.setenv(k, v)
        import s3fs

        fs = s3fs.S3FileSystem(skip_instance_cache=True)
        fs.mkdir("archive")
        local = str(tmp_path / "local.zarr")
        assert not convert_archive(two_records, local, ConvertOptions(max_abs_error="adc")).failed
        check_url_store("s3://archive/icu.zarr", two_records, local, capsys, monkeypatch, tmp_path)
    finally:
        srv.stop()
