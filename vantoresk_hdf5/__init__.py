"""The vantoresk lane codec as an HDF5 filter, for h5py, pynwb and any HDF5 program.

Importing this package registers the filter with h5py's HDF5, so datasets
written with `VantoreskFilter` (or `compression=FILTER_ID`) and files holding
them read as usual. Other programs (h5dump, MATLAB, Octave, R, Julia) find
the same plugin when `HDF5_PLUGIN_PATH` names `PLUGIN_PATH`.

FILTER_ID is from HDF5's private range: files written with it are for your
own use, not for distribution.
"""

from __future__ import annotations

import h5py

from ._plugin import FILTER_ID, LIB, PLUGIN_PATH
from .filter import VantoreskFilter, cd_values, settings
from .parallel import read_parallel, write_parallel

__all__ = ["FILTER_ID", "PLUGIN_PATH", "VantoreskFilter", "cd_values", "settings", "write_parallel", "read_parallel",
           "register"]


def register(force: bool = False) -> None:
    """Registers the plugin's filter with h5py's HDF5 (done at import).

    A filter already registered under the same ID (another copy of this
    plugin, or an older release) is unregistered first; if HDF5 refuses that
    because a dataset using it is open, ours is registered over it.
    """
    if h5py.h5z.filter_avail(FILTER_ID):
        if _state["registered"] and not force:
            return
        try:
            h5py.h5z.unregister_filter(FILTER_ID)
        except Exception:  # noqa: BLE001 - HDF5 refuses while objects using the filter are open
            pass
    h5py.h5z.register_filter(LIB.H5PLget_plugin_info())
    _state["registered"] = True


_state = {"registered": False}
register()
