// PyRef: one owned reference to a Python object, released on scope exit.
//
// Every early return in the module (a failed conversion, a codec error, a
// caught std::bad_alloc) must drop exactly the references it took; holding
// them in PyRef makes that automatic. Borrowed references stay raw pointers
// so the ownership of each pointer is visible in its type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vantoresk::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new (owned) reference; nullptr is allowed.
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to CPython or to a
    // reference-stealing call).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// Takes the error being raised off the thread: the exception object,
// normalised, carrying its traceback (empty when no error was set). Hand it
// back with restore_raised, or drop it.
inline PyRef take_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef(value);
#endif
}

// Raises again what take_raised took.
inline void restore_raised(PyRef raised) noexcept {
    if (!raised) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(raised.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.get()));
    Py_INCREF(type);
    PyObject* traceback = PyException_GetTraceback(raised.get());
    PyErr_Restore(type, raised.release(), traceback);
#endif
}

}  // namespace vantoresk::py
