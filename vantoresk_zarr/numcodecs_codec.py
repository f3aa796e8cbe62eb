"""The lane codec for numcodecs, and so for Zarr v2 arrays (`codec_id` "vantoresk").

numcodecs finds it through the `numcodecs.codecs` entry point; nothing is
registered at import. Every attribute is a plain JSON value, so the default
`get_config`/`from_config` round-trip it and the object pickles.
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from ._extras import require
from .lanes import check_array, decode_lanes, encode_lanes
from .settings import PARAMS, check_codec_params, check_known

_abc = require("numcodecs.abc")
_compat = require("numcodecs.compat")


class VantoreskCodec(_abc.Codec):
    """Coding of float and integer chunks, lane by lane along `axis`, within an error target if given.

    `method`, `scale`, `cutoff` and `coder` are the container options;
    `max_abs_error` (data units) or `max_prdn` (percent), a number or a list
    with one value per lane of a chunk, make the codec choose the scale per
    lane so the decoded values meet the target (or store the lane exactly).
    """

    codec_id = "vantoresk"

    def __init__(self, method: str = "cdf97", scale: int = 11, cutoff: str = "low", coder: Optional[str] = "auto",
                 axis: int = -1, max_abs_error: Any = None, max_prdn: Any = None) -> None:
        params = check_codec_params(method, scale, cutoff, coder, axis, max_abs_error, max_prdn)
        for name, value in params.items():
            setattr(self, name, value)

    @classmethod
    def from_config(cls, config: dict) -> "VantoreskCodec":
        return cls(**check_known({k: v for k, v in config.items() if k != "id"}))

    def _params(self) -> dict:
        return {k: getattr(self, k) for k in PARAMS}

    def encode(self, buf: Any) -> bytes:
        arr = buf if isinstance(buf, np.ndarray) else _compat.ensure_ndarray_like(buf)
        return encode_lanes(check_array(arr), **self._params())

    def decode(self, buf: Any, out: Any = None) -> Any:
        # `out` is filled by value when it has the chunk's shape (whatever its
        # memory order), else as a flat buffer in the frame's memory order.
        return decode_lanes(_compat.ensure_contiguous_ndarray(buf), out=out)
