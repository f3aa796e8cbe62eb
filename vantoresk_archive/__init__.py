"""Whole archives with vantoresk: the `vantoresk` command line, WFDB and
EDF/BDF readers, and conversion to Zarr stores on one machine or on Dask.

    from vantoresk_archive import ConvertOptions, convert_archive
    result = convert_archive(["records/"], "archive.zarr", ConvertOptions(max_abs_error="adc"))
    rec = read_record("archive.zarr", "mitdb100", start=0, stop=10)   # physical samples, annotations
    raw = rec.to_mne()
"""

from __future__ import annotations

import importlib

# Imported on first use, so `vantoresk --help` starts without NumPy or Zarr.
_LAZY = {
    "ArchiveResult": "archive", "convert_archive": "archive",
    "ChannelReport": "record", "ConvertOptions": "record", "RecordResult": "record", "convert_record": "record",
    "read_record": "read", "list_records": "read", "RecordData": "read", "Signals": "read",
    "export_record": "export",
}

__all__ = ["ArchiveResult", "ChannelReport", "ConvertOptions", "RecordData", "RecordResult", "Signals",
           "convert_archive", "convert_record", "export_record", "list_records", "read_record"]


def __getattr__(name: str):
    if name in _LAZY:
        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
