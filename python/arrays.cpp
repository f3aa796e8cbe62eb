#include "python/arrays.hpp"

#include <cstddef>
#include <new>

#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"

namespace vantoresk::py {
namespace {

enum class SampleType { Other, Float32, Float64 };

// NumPy's equivalence test against the native descriptors, fetched afresh
// for each check. Byte-swapped floats are not equivalent and fall through
// to "Other", like every other dtype.
[[nodiscard]] bool equivalent_to(PyArrayObject* array, int type_num, bool& equal) {
    PyArray_Descr* wanted = PyArray_DescrFromType(type_num);
    if (wanted == nullptr) return false;
    equal = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
    Py_DECREF(wanted);
    return true;
}

[[nodiscard]] bool classify(PyObject* data, SampleType& type) {
    type = SampleType::Other;
    if (!PyArray_Check(data)) return true;
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    if (PyArray_NDIM(array) != 1) return true;
    bool equal = false;
    if (!equivalent_to(array, NPY_FLOAT, equal)) return false;
    if (equal) {
        type = SampleType::Float32;
        return true;
    }
    if (!equivalent_to(array, NPY_DOUBLE, equal)) return false;
    if (equal) type = SampleType::Float64;
    return true;
}

[[nodiscard]] bool readable_in_place(PyArrayObject* array) {
    const bool contiguous = PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array);
    return PyArray_ISALIGNED(array) && contiguous && PyArray_DATA(array) != nullptr;
}

void destroy_samples(PyObject* capsule) {
    delete static_cast<std::vector<float>*>(PyCapsule_GetPointer(capsule, "vantoresk.samples"));
}

}  // namespace

bool samples_from_array(PyObject* data, SampleView& out) {
    if (!ensure_numpy_api()) return false;
    SampleType type = SampleType::Other;
    if (!classify(data, type)) return false;
    if (type == SampleType::Other) {
        PyErr_SetString(PyExc_ValueError, "expected a 1-D float32 or float64 NumPy array");
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    const auto count = static_cast<std::size_t>(PyArray_SIZE(array));
    if (count == 0) {
        // An empty view is never dereferenced; its strides do not matter.
        out.f32 = {};
        return true;
    }
    if (!readable_in_place(array)) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
        return false;
    }
    if (type == SampleType::Float32) {
        out.f32 = std::span<const float>(static_cast<const float*>(PyArray_DATA(array)), count);
        return true;
    }
    out.f64 = std::span<const double>(static_cast<const double*>(PyArray_DATA(array)), count);
    out.is_f64 = true;
    return true;
}

PyObject* array_from_samples(std::vector<float>&& samples) {
    if (!ensure_numpy_api()) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(samples.size())};
    if (samples.empty()) {
        // No memory to adopt (the pointer may be null): let NumPy allocate.
        return PyArray_SimpleNew(1, dims, NPY_FLOAT);
    }
    // Moving the vector into its heap owner moves only its three pointers.
    auto* owned = new (std::nothrow) std::vector<float>(std::move(samples));
    if (owned == nullptr) return PyErr_NoMemory();
    PyRef capsule(PyCapsule_New(owned, "vantoresk.samples", destroy_samples));
    if (!capsule) {
        delete owned;
        return nullptr;
    }
    PyRef array(PyArray_New(&PyArray_Type, 1, dims, NPY_FLOAT, nullptr, owned->data(), 0, NPY_ARRAY_CARRAY,
                            nullptr));
    if (!array) return nullptr;
    // Steals the capsule reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return nullptr;
    return array.release();
}

}  // namespace vantoresk::py
