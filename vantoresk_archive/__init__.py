"""Whole archives with vantoresk: the `vantoresk` command line, WFDB and
EDF/BDF readers, and conversion to Zarr stores on one machine or on Dask.

    from vantoresk_archive import ConvertOptions, convert_archive
    result = convert_archive(["records/"], "archive.zarr", ConvertOptions(max_abs_error="adc"))
"""

from .archive import ArchiveResult, convert_archive
from .record import ChannelReport, ConvertOptions, RecordResult, convert_record

__all__ = ["ArchiveResult", "ChannelReport", "ConvertOptions", "RecordResult", "convert_archive", "convert_record"]
