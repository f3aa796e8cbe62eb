// NumPy arrays in and out of the codec.
//
// In: compress_signal's `data` as a contiguous float32 or float64 span over
// the array's memory; the compressor copies it (converting float64) into its
// own working buffer while the interpreter lock is held.
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
    std::span<const float> f32;   // a float32 array (also an empty array)
    std::span<const double> f64;  // a non-empty float64 array
    bool is_f64 = false;
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
