#!/usr/bin/env python3
"""A 2-channel ECG in an NWB file on Zarr, its ElectricalSeries coded with vantoresk.

Written with pynwb and hdmf-zarr (`ZarrDataIO(..., serializer=...)`), then
read back by a fresh reader. NWB keeps time first, so the codec's lanes run
along axis 0, one per channel, each with the ADC step as its error target.
Needs `pip install vantoresk[nwb]` on Python 3.12 or newer (the hdmf-zarr
releases that write Zarr v3 need it).

    python examples/nwb_zarr.py [--store PATH] [--seconds N]
"""

from __future__ import annotations

import datetime
import sys
import tempfile
import warnings

import numpy as np

import recording
from vantoresk_zarr import VantoreskZarrCodec


def write(path: str, ecg_tc: np.ndarray) -> None:
    from hdmf_zarr import NWBZarrIO
    from hdmf_zarr.utils import ZarrDataIO
    from pynwb import NWBFile
    from pynwb.ecephys import ElectricalSeries

    nwb = NWBFile(session_description="MIT-BIH record 100, two ECG leads", identifier="mitdb100",
                  session_start_time=datetime.datetime(1975, 1, 1, tzinfo=datetime.timezone.utc))
    device = nwb.create_device(name="Holter")
    group = nwb.create_electrode_group(name="leads", description="ECG leads", location="chest", device=device)
    for lead in recording.LEADS:
        nwb.add_electrode(group=group, location=lead)
    step = recording.ADC_STEP_MV
    data = ZarrDataIO(data=ecg_tc, chunks=(60 * recording.FS_HZ, 2), compressors=False,
                      serializer=VantoreskZarrCodec(axis=0, max_abs_error=[step, step]))
    nwb.add_acquisition(ElectricalSeries(
        name="ECG", data=data, electrodes=nwb.create_electrode_table_region([0, 1], "both leads"),
        rate=float(recording.FS_HZ), conversion=1e-3))  # stored in mV; NWB counts volts
    with NWBZarrIO(path, mode="w") as io:
        io.write(nwb)


def main(argv=None) -> int:
    args, ecg, source = recording.command_line(__doc__, argv)
    try:
        import hdmf_zarr  # noqa: F401
        import pynwb  # noqa: F401
    except ImportError as exc:
        print(f"{exc}: this example needs pip install vantoresk[nwb] on Python 3.12 or newer "
              "(hdmf-zarr 0.14 and later write Zarr v3)", file=sys.stderr)
        return 2
    # hdmf-zarr consolidates metadata, which zarr flags as outside the v3 format.
    warnings.filterwarnings("ignore", message="Consolidated metadata")
    ecg_tc = np.ascontiguousarray(ecg.T)  # (time, channels)

    with tempfile.TemporaryDirectory() as tmp:
        path = args.store or f"{tmp}/ecg.nwb.zarr"
        write(path, ecg_tc)

        from hdmf_zarr import NWBZarrIO

        with NWBZarrIO(path, mode="r") as io:
            series = io.read().acquisition["ECG"]
            window = recording.WINDOW
            part = series.data[window, :]
            whole = series.data[:]
            codecs = [c.get("name") for c in series.data.metadata.to_dict()["codecs"]]
        err = np.max(np.abs(whole.astype(np.float64) - ecg_tc))
        assert np.array_equal(part, whole[window]) and err <= recording.ADC_STEP_MV, err
        print(f"source: {source}")
        print(f"NWB on Zarr, ElectricalSeries codecs {codecs}; largest error {err:.5f} mV; slice {part.shape}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
