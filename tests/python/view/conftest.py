import pytest

pytest.importorskip("wfdb")
pytest.importorskip("zarr")
pytest.importorskip("starlette")
pytest.importorskip("httpx")

from view_support import build_store


@pytest.fixture(scope="session")
def store(tmp_path_factory):
    """The small converted store, built once per session."""
    return build_store(tmp_path_factory.mktemp("view"))


@pytest.fixture(scope="session")
def client(store):
    from starlette.testclient import TestClient

    from vantoresk_archive.view import create_app

    with TestClient(create_app(str(store)), raise_server_exceptions=False) as c:
        yield c
