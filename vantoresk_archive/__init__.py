"""Whole archives with vantoresk: the `vantoresk` command line, WFDB and
EDF/BDF readers, and conversion to Zarr stores on one machine or on Dask."""
