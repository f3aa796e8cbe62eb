// The vantoresk extension module: initialisation and the two functions.
//
// Multi-phase initialisation with a single exec slot; everything the module
// exposes is added there, each name first appended to __all__ and then set
// as an attribute. No codec logic lives here: the functions bind their
// arguments, turn NumPy arrays and bytes into plain buffers, call the codec
// and turn its results (or its error's display text) back into Python
// objects.
//
// The interpreter lock is released for the codec's work, so that calls from
// several threads (a Zarr codec pool, a threaded Dask scheduler) run at
// once. compress_signal still compresses exactly what the array held when it
// was called: the samples are copied into the compressor's working buffer
// (the one copy it makes anyway) while the lock is held, and only then is
// the lock let go. decompress_signal reads a bytes object, which cannot
// change, so its whole decode runs without the lock. No Python object is
// touched while the lock is released.
//
// No C++ exception may cross into CPython: each entry point catches
// std::bad_alloc (-> MemoryError) and anything else (-> SystemError); all
// Python references are held in PyRef, so unwinding releases them. Memory
// errors always carry a message: the codec's own "Out of memory, can't
// allocate additional N" where it reports one, and the same words for a
// result object that cannot be created.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "core/compressor.hpp"
#include "core/decompressor.hpp"
#include "python/arrays.hpp"
#include "python/binder.hpp"
#include "python/lock_released.hpp"
#include "python/lanes_binding.hpp"
#include "python/options_type.hpp"
#include "python/py_ref.hpp"

namespace vantoresk::py {
namespace {

// The display text may contain NUL and other control characters (a damaged
// magic or version field), so it is passed with its length, never as a C
// string. It is UTF-8 by construction; "replace" only guards against a
// stray byte turning a ValueError into a UnicodeDecodeError.
void raise_codec_error(const VantoreskError& error) {
    const std::string text = error.display();
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

void raise_unexpected_exception(const char* where) {
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception in %s", where);
}

// The codec's words for a memory failure outside it; `count` is what was
// being allocated, 0 when not known.
PyObject* raise_no_memory(std::size_t count) {
    if (count == 0) {
        PyErr_SetString(PyExc_MemoryError, "Out of memory");
    } else {
        PyErr_Format(PyExc_MemoryError, "Out of memory, can't allocate additional %zu", count);
    }
    return nullptr;
}

// CPython and NumPy raise a bare MemoryError() when an allocation fails;
// give it the words above instead. Any other error is left as it is.
PyObject* name_memory_error(std::size_t count) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyRef raised = take_raised();
        PyRef text(raised ? PyObject_Str(raised.get()) : nullptr);
        if (text && PyUnicode_GetLength(text.get()) > 0) {
            restore_raised(std::move(raised));
        } else {
            PyErr_Clear();
            raise_no_memory(count);
        }
    }
    return nullptr;
}

constexpr std::array<const char*, 2> kCompressParams = {"data", "options"};
const Signature kCompressSignature{"compress_signal()", kCompressParams, 1};

constexpr std::array<const char*, 1> kDecompressParams = {"data"};
const Signature kDecompressSignature{"decompress_signal()", kDecompressParams, 1};

PyObject* compress_signal_impl(PyObject* const* args_array, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    if (!bind_fast(kCompressSignature, args_array, nargs, kwnames, slots)) return nullptr;
    PyObject* data = slots[0];
    PyObject* options = slots[1];

    // The options are checked before the data.
    CompressionOptions record;
    if (options != nullptr && options != Py_None) {
        const int ok = is_options(options);
        if (ok < 0) return nullptr;
        if (ok == 0) {
            set_cast_error(options, "VantrCompressionOptions");
            prefix_conversion_error("options");
            return nullptr;
        }
        record = options_record(options);
    }

    SampleView view;
    if (!samples_from_array(data, view)) return nullptr;
    auto taken = view.is_f64 ? take_samples(view.f64, record) : take_samples(view.f32, record);
    if (!taken.ok()) {
        raise_codec_error(taken.error());
        return nullptr;
    }
    auto container = [&taken] {
        const LockReleased unlocked;
        return compress_taken(std::move(taken).value());
    }();
    if (!container.ok()) {
        raise_codec_error(container.error());
        return nullptr;
    }
    const std::vector<std::uint8_t>& bytes = container.value();
    PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<Py_ssize_t>(bytes.size()));
    return result != nullptr ? result : name_memory_error(bytes.size());
}

PyObject* decompress_signal_impl(PyObject* const* args_array, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> slots{};
    if (!bind_fast(kDecompressSignature, args_array, nargs, kwnames, slots)) return nullptr;
    PyObject* data = slots[0];
    if (!PyBytes_Check(data)) {
        set_cast_error(data, "bytes");
        prefix_conversion_error("data");
        return nullptr;
    }
    const auto* begin = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data));
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    auto samples = [begin, size] {
        const LockReleased unlocked;
        return decompress(std::span<const std::uint8_t>(begin, size));
    }();
    if (!samples.ok()) {
        raise_codec_error(samples.error());
        return nullptr;
    }
    const std::size_t count = samples.value().size();
    PyObject* result = array_from_samples(std::move(samples).value());
    return result != nullptr ? result : name_memory_error(count * sizeof(float));
}

PyObject* compress_signal(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return compress_signal_impl(args, nargs, kwnames);
    } catch (const std::bad_alloc&) {
        return raise_no_memory(0);
    } catch (...) {
        raise_unexpected_exception("compress_signal");
        return nullptr;
    }
}

PyObject* decompress_signal(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return decompress_signal_impl(args, nargs, kwnames);
    } catch (const std::bad_alloc&) {
        return raise_no_memory(0);
    } catch (...) {
        raise_unexpected_exception("decompress_signal");
        return nullptr;
    }
}

// Each docstring opens with a text signature (signature line, "--", empty
// line), from which CPython derives __text_signature__ and strips it from
// __doc__.
PyMethodDef kCompressDef = {
    "compress_signal",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&compress_signal)),
    METH_FASTCALL | METH_KEYWORDS,
    "compress_signal(data, options=None)\n--\n\n"
    "Compress a 1-D float32 **or** float64 NumPy array into Vantoresk `bytes`.\n\n"
    "float64 input is downcast to float32 before compression (the codec works in\n"
    "f32 internally and always reconstructs f32 on decompress).",
};

PyMethodDef kDecompressDef = {
    "decompress_signal",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decompress_signal)),
    METH_FASTCALL | METH_KEYWORDS,
    "decompress_signal(data)\n--\n\n"
    "Decompress a Vantoresk bytes object into a 1-D float32 NumPy array.",
};

// Appends `name` to the module's __all__ (creating the list when missing),
// then sets the attribute. A name appended before a failing set stays in
// __all__; the exec step stops there anyway.
[[nodiscard]] bool add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        set_cast_error(all.get(), "list");
        return false;
    }
    if (PyList_Append(all.get(), name) < 0) return false;
    return PyObject_SetAttr(module, name, value) == 0;
}

[[nodiscard]] bool add_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return false;
    PyRef function(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return false;
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    return add_to_module(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
    try {
        if (!PyModule_Check(module)) {
            set_cast_error(module, "module");
            return -1;
        }
        PyTypeObject* type = options_type();
        if (type == nullptr) return -1;
        PyRef name(PyUnicode_FromString("VantrCompressionOptions"));
        if (!name || !add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type))) return -1;
        if (!add_function(module, &kCompressDef)) return -1;
        if (!add_function(module, &kDecompressDef)) return -1;
        if (!add_lane_functions(module)) return -1;
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (...) {
        raise_unexpected_exception("the vantoresk module initialisation");
        return -1;
    }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "vantoresk",
    "",       // the module docstring is empty
    0,        // no per-module state
    nullptr,  // no method table: the exec step adds the functions
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vantoresk::py

PyMODINIT_FUNC PyInit_vantoresk(void) { return PyModuleDef_Init(&vantoresk::py::kModule); }
