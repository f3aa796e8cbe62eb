// NumPy's C-API table, fetched on first use.
//
// Every translation unit that touches the NumPy API includes this header
// instead of <numpy/arrayobject.h>, so that all of them share the one table
// pointer defined in numpy_api.cpp. The module does not import NumPy when it
// is imported itself: the first array operation calls `ensure_numpy_api`,
// which picks the module holding the `_ARRAY_API` capsule by NumPy's major
// version (numpy._core.multiarray from 2 on, numpy.core.multiarray before).
//
// We compile against NumPy 2 headers and target the 1.23 C API, so the same
// binary runs on NumPy 1.26 and 2.x. The traps of that arrangement:
//   - descriptor fields moved in 2.0: read them only through the accessor
//     macros (PyDataType_ELSIZE, PyArray_ITEMSIZE, ...), which consult the
//     runtime version recorded by `ensure_numpy_api`;
//   - nothing from the table may be used before `ensure_numpy_api` succeeded
//     (PyArray_Type included: PyArray_Check reads the table).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#endif
#ifndef NPY_TARGET_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#endif
#define PY_ARRAY_UNIQUE_SYMBOL vantoresk_numpy_api_table
#ifndef VANTORESK_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// NumPy 2 headers bring the version-dependent accessors (npy_2_compat.h);
// 1.x headers lack them, and a module built against 1.x would not load on 2.x.
#ifndef NPY_2_0_API_VERSION
#error "build against NumPy 2 headers: the module built with them also runs on NumPy 1.26"
#endif

namespace vantoresk::py {

// Loads the table once per process. false with a Python error set on
// failure (NumPy missing, or a capsule that is not what we expect); the next
// call tries again.
[[nodiscard]] bool ensure_numpy_api();

}  // namespace vantoresk::py
