import os
import sys

import pytest

# The HDF5 tests need the hdf5 extra; without h5py the folder is skipped.
pytest.importorskip("h5py")
sys.path.insert(0, os.path.dirname(__file__))
