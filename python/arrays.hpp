// NumPy arrays in and out of the codec.
//
// In: compress_signal's `data` as a contiguous float32 sample span. A
// float32 array is read in place; a float64 array is converted once into an
// owned float32 buffer (round to nearest even, as NumPy's own cast does).
// Out: the decoded vector becomes the memory of a new float32 array without
// a copy; a capsule that owns the vector is the array's base and frees it
// when the array dies.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <vector>

namespace vantoresk::py {

struct SampleView {
    std::span<const float> samples;  // into the array, or into `converted`
    std::vector<float> converted;    // used for float64 input only
};

// Fails with ValueError "expected a 1-D float32 or float64 NumPy array" for
// anything but a 1-D float32/float64-equivalent ndarray, and with TypeError
// "The given array is not contiguous or is misaligned." for a non-empty
// array that cannot be read in place. `out` must not outlive `data`.
[[nodiscard]] bool samples_from_array(PyObject* data, SampleView& out);

// New reference to a 1-D, C-contiguous, writeable float32 array that adopts
// `samples`; nullptr with a Python error set on failure (the samples are
// released then).
PyObject* array_from_samples(std::vector<float>&& samples);

}  // namespace vantoresk::py
