"""Shared helpers for the Python tests."""

from vantoresk_zarr.vocabulary import CONTAINER_FIELDS as FIELDS  # noqa: F401
from vantoresk_zarr.vocabulary import CONTAINER_HEADER as HEADER
from vantoresk_zarr.vocabulary import container_header as header  # noqa: F401

assert HEADER.size == 52
