// VantrCompressionOptions: the Python face of CompressionOptions.
//
// An opaque, immutable heap type: the constructor validates the four
// choices and stores one CompressionOptions record; nothing can be read back
// from Python. The type object is created on first use and kept for the
// life of the process (the module holds further references to it).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/compression_options.hpp"

namespace vantoresk::py {

// Borrowed reference to the class, created on the first call; nullptr with a
// Python error set if creation failed (a later call tries again).
PyTypeObject* options_type();

// True when `obj` is an instance of the class. Creates the class if needed;
// -1 with a Python error set if that fails.
int is_options(PyObject* obj);

// The record of an instance; `obj` must satisfy is_options.
CompressionOptions options_record(PyObject* obj);

}  // namespace vantoresk::py
