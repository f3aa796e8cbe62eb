import sys
from pathlib import Path

import pytest

pytest.importorskip("wfdb")
pytest.importorskip("zarr")
pytest.importorskip("starlette")
pytest.importorskip("httpx")

sys.path.insert(0, str(Path(__file__).parent))
from view_support import build_store  # noqa: E402


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
