// The lane codec for Python: the frame's work runs with the interpreter lock
// released. Input bytes that could change under it (anything but a bytes
// object) are copied first, while the lock is held.
#include "python/lanes_binding.hpp"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "include/vantoresk.h"
#include "lanes/codec.hpp"
#include "python/lock_released.hpp"
#include "python/py_ref.hpp"

namespace vantoresk::py {
namespace {

using lanes::LaneError;

// A buffer view released on every path.
class View {
public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&buf_);
    }
    bool get(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &buf_, flags) == 0;
        return held_;
    }
    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(buf_.buf), static_cast<std::size_t>(buf_.len)};
    }
    std::span<std::uint8_t> writable() const {
        return {static_cast<std::uint8_t*>(buf_.buf), static_cast<std::size_t>(buf_.len)};
    }

private:
    Py_buffer buf_{};
    bool held_ = false;
};

PyObject* raise(const LaneError& e) {
    PyObject* type = PyExc_ValueError;
    if (e.status == VNT_OUT_OF_MEMORY) type = PyExc_MemoryError;
    if (e.status == VNT_INTERNAL) type = PyExc_RuntimeError;
    PyErr_SetString(type, e.message.c_str());
    return nullptr;
}

// The frame's bytes, stable while the lock is released: a bytes object is
// read in place, anything else copied into `copy`.
bool frame_bytes(PyObject* obj, View& view, std::vector<std::uint8_t>& copy, std::span<const std::uint8_t>& out) {
    if (!view.get(obj, PyBUF_SIMPLE)) return false;
    out = view.bytes();
    if (!PyBytes_Check(obj)) {
        copy.assign(out.begin(), out.end());
        out = copy;
    }
    return true;
}

const char* dtype_str(vnt_dtype d, bool big) {
    switch (d) {
        case VNT_FLOAT32: return big ? ">f4" : "<f4";
        case VNT_FLOAT64: return big ? ">f8" : "<f8";
        case VNT_INT8: return "|i1";
        case VNT_UINT8: return "|u1";
        case VNT_INT16: return big ? ">i2" : "<i2";
        case VNT_UINT16: return big ? ">u2" : "<u2";
        case VNT_INT32: return big ? ">i4" : "<i4";
    }
    return "?";
}

// _lane_encode(data, dtype, big_endian, order, shape, axis, method, scale, cutoff, coder, target_kind, targets)
PyObject* lane_encode(PyObject*, PyObject* args) {
    PyObject* data = nullptr;
    PyObject* shape = nullptr;
    PyObject* targets = nullptr;
    int dtype = 0, big = 0, order = 'C', axis = -1, method = 0, scale = 11, cutoff = 0, coder = 0, target_kind = 0;
    if (!PyArg_ParseTuple(args, "OiiCOiiiiiiO", &data, &dtype, &big, &order, &shape, &axis, &method, &scale, &cutoff,
                          &coder, &target_kind, &targets))
        return nullptr;
    vnt_layout layout{};
    layout.dtype = static_cast<vnt_dtype>(dtype);
    layout.big_endian = big;
    layout.order = static_cast<char>(order);
    PyRef seq(PySequence_Fast(shape, "shape must be a sequence"));
    if (!seq) return nullptr;
    const Py_ssize_t ndim = PySequence_Fast_GET_SIZE(seq.get());
    if (ndim < 1 || ndim > VNT_MAX_NDIM) {
        PyErr_Format(PyExc_ValueError, "frames hold 1 to %d dimensions, not %zd", VNT_MAX_NDIM, ndim);
        return nullptr;
    }
    layout.ndim = static_cast<int>(ndim);
    for (Py_ssize_t i = 0; i < ndim; ++i) {
        const unsigned long long d = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (PyErr_Occurred()) return nullptr;
        layout.shape[i] = d;
    }
    std::vector<double> target_values;
    if (targets != Py_None) {
        PyRef t(PySequence_Fast(targets, "targets must be a sequence"));
        if (!t) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(t.get()); ++i) {
            const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(t.get(), i));
            if (v == -1.0 && PyErr_Occurred()) return nullptr;
            target_values.push_back(v);
        }
    }
    vnt_options options;
    vnt_options_init(&options);
    options.method = static_cast<vnt_method>(method);
    options.scale = scale;
    options.cutoff = static_cast<vnt_cutoff>(cutoff);
    options.coder = static_cast<vnt_coder>(coder);
    options.axis = axis;
    options.target_kind = static_cast<vnt_target_kind>(target_kind);
    options.targets = target_values.data();
    options.target_count = target_values.size();
    View view;
    if (!view.get(data, PyBUF_SIMPLE)) return nullptr;
    // The samples are copied while the lock is held: another thread may write the array meanwhile.
    std::vector<std::uint8_t> copy(view.bytes().begin(), view.bytes().end());
    auto frame = [&] {
        const LockReleased unlocked;
        return lanes::encode_frame(copy, layout, options);
    }();
    if (!frame) return raise(frame.error());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame->data()),
                                     static_cast<Py_ssize_t>(frame->size()));
}

// _lane_frame_info(frame) -> (version, dtype, order, shape, axis, lane_count, lane_length, decoded_bytes)
PyObject* lane_frame_info(PyObject*, PyObject* frame_obj) {
    View view;
    std::vector<std::uint8_t> copy;
    std::span<const std::uint8_t> frame;
    if (!frame_bytes(frame_obj, view, copy, frame)) return nullptr;
    auto v = [&] {
        const LockReleased unlocked;
        return lanes::open_frame(frame);
    }();
    if (!v) return raise(v.error());
    const lanes::FrameHeader& h = v->head;
    PyRef shape(PyTuple_New(h.ndim));
    if (!shape) return nullptr;
    for (int i = 0; i < h.ndim; ++i) {
        PyObject* d = PyLong_FromUnsignedLongLong(h.shape[i]);
        if (d == nullptr) return nullptr;
        PyTuple_SET_ITEM(shape.get(), i, d);
    }
    return Py_BuildValue("(isCOiKKK)", h.version, dtype_str(h.dtype, h.big_endian), static_cast<int>(h.order),
                         shape.get(), h.axis, static_cast<unsigned long long>(h.lane_count()),
                         static_cast<unsigned long long>(h.lane_length()),
                         static_cast<unsigned long long>(lanes::decoded_bytes(h)));
}

// _lane_decode(frame, out): fills the writable buffer `out` (at least the decoded size).
PyObject* lane_decode(PyObject*, PyObject* args) {
    PyObject* frame_obj = nullptr;
    PyObject* out_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &frame_obj, &out_obj)) return nullptr;
    View view;
    std::vector<std::uint8_t> copy;
    std::span<const std::uint8_t> frame;
    if (!frame_bytes(frame_obj, view, copy, frame)) return nullptr;
    View out;
    if (!out.get(out_obj, PyBUF_WRITABLE)) return nullptr;
    auto status = [&] {
        const LockReleased unlocked;
        return lanes::decode_frame(frame, out.writable());
    }();
    if (!status) return raise(status.error());
    Py_RETURN_NONE;
}

// _lane_infos(frame) -> [(kind, record_bytes, nonfinite, exact, method, scale, coder, steps, step), ...]
PyObject* lane_infos(PyObject*, PyObject* frame_obj) {
    View view;
    std::vector<std::uint8_t> copy;
    std::span<const std::uint8_t> frame;
    if (!frame_bytes(frame_obj, view, copy, frame)) return nullptr;
    auto infos = [&] {
        const LockReleased unlocked;
        return lanes::lane_infos(frame);
    }();
    if (!infos) return raise(infos.error());
    PyRef list(PyList_New(static_cast<Py_ssize_t>(infos->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < infos->size(); ++i) {
        const auto& l = (*infos)[i];
        PyObject* item = Py_BuildValue("(iKKiiiiKd)", static_cast<int>(l.kind),
                                       static_cast<unsigned long long>(l.record_bytes),
                                       static_cast<unsigned long long>(l.nonfinite_samples), l.exact, l.method, l.scale,
                                       l.coder, static_cast<unsigned long long>(l.steps), l.step);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

template <class F>
PyObject* guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "Out of memory");
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in the lane codec");
    }
    return nullptr;
}

PyObject* encode_entry(PyObject* m, PyObject* a) { return guarded([&] { return lane_encode(m, a); }); }
PyObject* decode_entry(PyObject* m, PyObject* a) { return guarded([&] { return lane_decode(m, a); }); }
PyObject* info_entry(PyObject* m, PyObject* a) { return guarded([&] { return lane_frame_info(m, a); }); }
PyObject* infos_entry(PyObject* m, PyObject* a) { return guarded([&] { return lane_infos(m, a); }); }

PyMethodDef kLaneMethods[] = {
    {"_lane_encode", encode_entry, METH_VARARGS, "Encode a chunk's bytes into a lane frame (private)."},
    {"_lane_decode", decode_entry, METH_VARARGS, "Decode a lane frame into a writable buffer (private)."},
    {"_lane_frame_info", info_entry, METH_O, "A lane frame's header, checked (private)."},
    {"_lane_infos", infos_entry, METH_O, "Every lane's kind and settings (private)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_lane_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kLaneMethods) == 0;
}

}  // namespace vantoresk::py
