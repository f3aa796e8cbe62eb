// The one translation unit that defines the table pointer. NumPy's header
// also defines its own eager import function here, which we replace by the
// lazy, version-directed lookup below; silence its "unused" warning.
#define VANTORESK_NUMPY_API_OWNER
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "python/numpy_api.hpp"
#pragma GCC diagnostic pop

#include "python/py_ref.hpp"

namespace vantoresk::py {
namespace {

// numpy.lib.NumpyVersion(numpy.__version__).major
[[nodiscard]] bool numpy_major_version(long& major) {
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    PyRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    PyRef lib(PyObject_GetAttrString(numpy.get(), "lib"));
    if (!lib) return false;
    PyRef parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return false;
    PyRef major_obj(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return false;
    major = PyLong_AsLong(major_obj.get());
    return !(major == -1 && PyErr_Occurred());
}

[[nodiscard]] bool load_table() {
    long major = 0;
    if (!numpy_major_version(major)) return false;
    PyRef multiarray(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return false;
    PyRef capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return false;
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        return false;
    }
    // The checks NumPy's own import performs, on the table we found. The
    // table pointer is published only after they pass; the capsule's owner
    // (the NumPy extension) is never unloaded, so the pointer stays valid
    // after the capsule reference is dropped.
    PyArray_API = table;
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     static_cast<int>(NPY_VERSION), static_cast<int>(PyArray_GetNDArrayCVersion()));
        PyArray_API = nullptr;
        return false;
    }
    const int runtime = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (NPY_FEATURE_VERSION > runtime) {
        PyErr_Format(PyExc_RuntimeError, "module was compiled against NumPy C-API version 0x%x but the running NumPy "
                     "has C-API version 0x%x", static_cast<int>(NPY_FEATURE_VERSION), runtime);
        PyArray_API = nullptr;
        return false;
    }
#if NPY_BYTE_ORDER == NPY_LITTLE_ENDIAN
    constexpr int kCompiledOrder = NPY_CPU_LITTLE;
#else
    constexpr int kCompiledOrder = NPY_CPU_BIG;
#endif
    if (PyArray_GetEndianness() != kCompiledOrder) {
        PyErr_SetString(PyExc_RuntimeError, "NumPy reports a byte order other than the one we were compiled for");
        PyArray_API = nullptr;
        return false;
    }
    PyArray_RUNTIME_VERSION = runtime;
    return true;
}

}  // namespace

bool ensure_numpy_api() {
    if (PyArray_API != nullptr) return true;
    return load_table();
}

}  // namespace vantoresk::py
