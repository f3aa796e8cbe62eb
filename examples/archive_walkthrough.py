#!/usr/bin/env python3
"""From a folder of WFDB and EDF records to xarray, MNE and back:

    python examples/archive_walkthrough.py work/ --seconds 20

writes the example records (examples/make_records.py) into work/records,
converts them at one ADC count into work/archive.zarr and exactly into
work/exact.zarr, opens a record in xarray and in MNE with its times and
annotations, and exports records back to WFDB and BDF files that are
compared byte for byte with their sources. Needs
`pip install vantoresk[analysis]`.
"""

from __future__ import annotations

import argparse
import filecmp
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from make_records import build_archive  # noqa: E402


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("folder", help="where to write the records, stores and exports")
    p.add_argument("--seconds", type=float, help="only the first SECONDS of each recording")
    args = p.parse_args(argv)

    import xarray as xr

    from vantoresk_archive import ConvertOptions, convert_archive, export_record, read_record

    work = Path(args.folder)
    records = work / "records"
    build_archive(records, args.seconds)
    for name, options in (("archive.zarr", ConvertOptions(max_abs_error="adc")),
                          ("exact.zarr", ConvertOptions(lossless=True))):
        result = convert_archive([str(records)], str(work / name), options)
        print(f"{name}: {len(result.converted)} converted, {len(result.failed)} failed")
        if result.failed:
            return 1

    ds = xr.open_zarr(str(work / "archive.zarr"), group="mitdb100")
    mlii = ds["signals"].sel(channel="MLII")
    print(f"xarray: MLII {mlii.sizes['time']} samples in {ds['channel_units'].values[0]}, "
          f"from {ds['time'].values[0]} to {ds['time'].values[-1]}")

    rec = read_record(str(work / "archive.zarr"), "mitdb100", start=2, stop=4)
    beats = rec.annotations["atr"]
    print(f"read_record: {rec.channels} at {rec.rate:g} Hz from {rec.start_time}, "
          f"{len(beats)} beats between 2 and 4 s")

    raw = read_record(str(work / "archive.zarr"), "eegmat").to_mne()
    print(f"MNE: {raw.info['nchan']} channels, meas_date {raw.info['meas_date']}, "
          f"annotations {list(raw.annotations.description)}")

    back = work / "back"
    same = []
    for name, fmt, files in (("mitdb100", "wfdb", ("mitdb100.hea", "mitdb100.dat", "mitdb100.atr")),
                             ("eegmat_bdf", "edf", ("eegmat_bdf.bdf",))):
        export_record(str(work / "exact.zarr"), name, str(back / name), fmt=fmt)
        same += [filecmp.cmp(records / f, back / f, shallow=False) for f in files]
    print(f"exports: {sum(same)} of {len(same)} files identical to their sources")
    return 0 if all(same) else 1


if __name__ == "__main__":
    sys.exit(main())
