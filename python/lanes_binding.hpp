// The lane codec's private entry points for vantoresk_zarr: frame encode,
// decode into a caller's buffer, and inspection. Plain buffers in and out;
// the NumPy side (dtype, shape, memory order, `out=`) lives in Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantoresk::py {

// Adds _lane_encode, _lane_decode, _lane_frame_info and _lane_infos to the
// module (not to __all__). False with a Python error set on failure.
[[nodiscard]] bool add_lane_functions(PyObject* module);

}  // namespace vantoresk::py
