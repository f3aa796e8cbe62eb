"""Type information for the vantoresk extension module."""

from typing import Literal, Optional, final

import numpy as np
import numpy.typing as npt

__all__ = ["VantrCompressionOptions", "compress_signal", "decompress_signal"]

@final
class VantrCompressionOptions:
    """Immutable choice of wavelet, quantisation scale, dead zone and coder.

    method: "cdf97" (default), "cdf53", "db4" or "sym4".
    scale: 6 to 12 (default 11); each step halves the quantisation step.
    cutoff: "low" (default), "medium" or "high"; how many small detail
        coefficients are zeroed.
    coder: None or "auto" (the same: "arans" up to 2**28 coefficient codes,
        "deflate" above, where the rANS reader could not read it back),
        "deflate" or "arans" (refused above that limit).
    """

    def __new__(
        cls,
        method: Literal["cdf97", "cdf53", "db4", "sym4"] = "cdf97",
        scale: int = 11,
        cutoff: Literal["low", "medium", "high"] = "low",
        coder: Optional[Literal["auto", "deflate", "arans"]] = None,
    ) -> "VantrCompressionOptions": ...

def compress_signal(
    data: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    options: Optional[VantrCompressionOptions] = None,
) -> bytes:
    """Compress a 1-D float32 **or** float64 NumPy array into Vantoresk `bytes`."""
    ...

def decompress_signal(data: bytes) -> npt.NDArray[np.float32]:
    """Decompress a Vantoresk bytes object into a 1-D float32 NumPy array.

    Raises ValueError for a container whose header or payload cannot be read.
    A container carries no checksum: most damage to its payload decodes to
    other samples without an error. Keep containers inside something that is
    checked (a lane frame of vantoresk_zarr, a Zarr store, a file system with
    checksums) when damage must be noticed.
    """
    ...
