import pytest

pytest.importorskip("wfdb")
pytest.importorskip("pyedflib")
pytest.importorskip("zarr")
pytest.importorskip("distributed")

from archive_support import build_archive


@pytest.fixture(scope="session")
def archive(tmp_path_factory):
    """The small WFDB/EDF/BDF archive, built once per session."""
    folder = tmp_path_factory.mktemp("records")
    return folder, build_archive(folder, seconds=12.0)


@pytest.fixture(scope="session")
def reference_store(archive, tmp_path_factory):
    """The archive converted serially at each channel's ADC step, 5 s chunks."""
    from vantoresk_archive import ConvertOptions, convert_archive

    folder, _ = archive
    store = tmp_path_factory.mktemp("ref") / "archive.zarr"
    result = convert_archive([str(folder)], str(store), ConvertOptions(max_abs_error="adc", chunk_seconds=5))
    assert not result.failed, result.failed
    return store

