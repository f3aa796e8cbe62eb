"""Chunked-store support for vantoresk: a lane codec for N-D float chunks,
error targets that hold, and codecs for numcodecs (Zarr v2) and Zarr v3."""
