"""`vantoresk view`: a browser viewer for archive stores, served by a small
ASGI application over the overview pyramid and the decoded chunks.

    from vantoresk_archive.view import create_app   # Starlette application
"""

from __future__ import annotations


def create_app(store: str, record: str = None, allowed_hosts=None):
    from .app import create_app as make

    return make(store, record, allowed_hosts)
