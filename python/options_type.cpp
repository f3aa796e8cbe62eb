#include "python/options_type.hpp"

#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "python/binder.hpp"
#include "python/py_ref.hpp"

namespace vantoresk::py {
namespace {

struct OptionsObject {
    PyObject_HEAD
    CompressionOptions record;
};

constexpr std::array<const char*, 4> kParamNames = {"method", "scale", "cutoff", "coder"};
const Signature kSignature{"VantrCompressionOptions.__new__()", kParamNames, 0};

// A str argument read as UTF-8, with the object kept for the debug form of
// the rejection messages. `object` is null for a defaulted argument.
struct TextArg {
    PyObject* object = nullptr;
    std::string_view utf8;
};

// Conversion of a str parameter. On failure the TypeError carries the
// parameter name; a UnicodeEncodeError (lone surrogates) does not.
[[nodiscard]] bool convert_text(PyObject* value, const char* name, TextArg& out) {
    if (!PyUnicode_Check(value)) {
        set_cast_error(value, "str");
        prefix_conversion_error(name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        prefix_conversion_error(name);
        return false;
    }
    out = TextArg{value, std::string_view(utf8, static_cast<std::size_t>(size))};
    return true;
}

// PyLong_AsLong semantics: int, bool and __index__ objects pass, float does
// not. Only its TypeError is a conversion error worth a parameter prefix;
// its OverflowError (beyond C long) and ours (beyond u8) are not.
[[nodiscard]] bool convert_scale(PyObject* value, std::uint8_t& out) {
    const long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) {
        prefix_conversion_error("scale");
        return false;
    }
    if (v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

// Raises ValueError("{prefix}{debug form}{suffix}").
void raise_unknown(const char* prefix, PyObject* rejected, const char* suffix) {
    std::string message = prefix;
    message += debug_form(rejected);
    message += suffix;
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "strict"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

template <class E, std::size_t N>
std::optional<E> match(std::string_view text, const std::array<std::pair<std::string_view, E>, N>& table) {
    for (const auto& [name, value] : table) {
        if (text == name) return value;
    }
    return std::nullopt;
}

constexpr std::array<std::pair<std::string_view, CompressionMethod>, 4> kMethods = {{
    {"cdf97", CompressionMethod::Cdf97},
    {"cdf53", CompressionMethod::Cdf53},
    {"db4", CompressionMethod::Db4},
    {"sym4", CompressionMethod::Sym4},
}};
constexpr std::array<std::pair<std::string_view, CutoffLevel>, 3> kCutoffs = {{
    {"low", CutoffLevel::Low},
    {"medium", CutoffLevel::Medium},
    {"high", CutoffLevel::High},
}};
constexpr std::array<std::pair<std::string_view, EntropyCoder>, 3> kCoders = {{
    {"auto", EntropyCoder::Auto},
    {"deflate", EntropyCoder::Deflate},
    {"arans", EntropyCoder::Arans},
}};

PyObject* build_options(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 4> slots{};
    if (!bind_tuple(kSignature, args, kwargs, slots)) return nullptr;

    // Every conversion runs before any value check, so a type error in a
    // later parameter wins over a value error in an earlier one.
    TextArg method{nullptr, "cdf97"};
    std::uint8_t scale = 11;
    TextArg cutoff{nullptr, "low"};
    std::optional<TextArg> coder;
    if (slots[0] != nullptr && !convert_text(slots[0], "method", method)) return nullptr;
    if (slots[1] != nullptr && !convert_scale(slots[1], scale)) return nullptr;
    if (slots[2] != nullptr && !convert_text(slots[2], "cutoff", cutoff)) return nullptr;
    if (slots[3] != nullptr && slots[3] != Py_None) {
        coder.emplace();
        if (!convert_text(slots[3], "coder", *coder)) return nullptr;
    }

    CompressionOptions record;
    if (auto m = match(method.utf8, kMethods)) {
        record.method = *m;
    } else {
        raise_unknown("Unknown method ", method.object, ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'");
        return nullptr;
    }
    if (auto c = match(cutoff.utf8, kCutoffs)) {
        record.cutoff = *c;
    } else {
        raise_unknown("Unknown cutoff level ", cutoff.object, ", expected 'low' or 'medium' or 'high'");
        return nullptr;
    }
    if (!scale_supported(scale)) {
        const std::string text = VantoreskError::unsupported_scale(scale).display();
        PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    record.scale = scale;
    if (coder) {
        if (auto c = match(coder->utf8, kCoders)) {
            record.coder = *c;
        } else {
            raise_unknown("Unknown coder ", coder->object, ", expected 'auto', 'deflate', 'arans'");
            return nullptr;
        }
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<OptionsObject*>(self)->record = record;
    return self;
}

PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return build_options(type, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in VantrCompressionOptions");
        return nullptr;
    }
}

// A text signature and nothing else: the class has no docstring of its own.
constexpr char kDoc[] = "VantrCompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\", coder=None)\n--\n\n";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&options_new)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (final), no dict or weak-reference offsets; the
// object holds no references, so it needs no GC support either.
PyType_Spec kOptionsTypeSpec = {
    "builtins.VantrCompressionOptions",
    static_cast<int>(sizeof(OptionsObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

// Process-wide, like the class it caches; never released.
PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* options_type() {
    if (g_type == nullptr) {
        // Creating the type can run a garbage collection, and with it Python
        // code that lets another thread in; whoever finishes first wins and
        // the other copy is dropped, so every caller sees the same class.
        PyObject* created = PyType_FromSpec(&kOptionsTypeSpec);
        if (created == nullptr) return nullptr;
        if (g_type == nullptr) {
            g_type = created;
        } else {
            Py_DECREF(created);
        }
    }
    return reinterpret_cast<PyTypeObject*>(g_type);
}

int is_options(PyObject* obj) {
    PyTypeObject* type = options_type();
    if (type == nullptr) return -1;
    return PyObject_TypeCheck(obj, type) ? 1 : 0;
}

CompressionOptions options_record(PyObject* obj) { return reinterpret_cast<OptionsObject*>(obj)->record; }

}  // namespace vantoresk::py
