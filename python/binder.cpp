#include "python/binder.hpp"

#include "python/py_ref.hpp"

namespace vantoresk::py {
namespace {

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

[[nodiscard]] bool check_positional_count(const Signature& sig, Py_ssize_t nargs) {
    const auto params = static_cast<Py_ssize_t>(sig.names.size());
    if (nargs <= params) return true;
    if (sig.required < sig.names.size()) {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     sig.callable, sig.required, sig.names.size(), nargs, was_or_were(nargs));
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.callable,
                     sig.names.size(), nargs, was_or_were(nargs));
    }
    return false;
}

// Finds the parameter a keyword names. Comparison is on code points against
// the ASCII parameter names, so a name with an embedded NUL or a non-ASCII
// look-alike never matches.
[[nodiscard]] bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, std::span<PyObject*> slots) {
    if (PyUnicode_Check(key)) {
        for (std::size_t i = 0; i < sig.names.size(); ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) continue;
            if (slots[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.callable, sig.names[i]);
                return false;
            }
            slots[i] = value;
            return true;
        }
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.callable, key);
        return false;
    }
    // Only reachable through the C API: the interpreter itself refuses
    // non-string keywords before calling us.
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.callable, key);
    return false;
}

[[nodiscard]] bool check_required(const Signature& sig, std::span<PyObject*> slots) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.required; ++i) missing += slots[i] == nullptr ? 1 : 0;
    if (missing == 0) return true;

    PyRef names(PyUnicode_FromString(""));
    for (std::size_t i = 0; i < sig.required && names; ++i) {
        if (slots[i] != nullptr) continue;
        const bool first = PyUnicode_GET_LENGTH(names.get()) == 0;
        names.reset(PyUnicode_FromFormat("%U%s'%s'", names.get(), first ? "" : ", ", sig.names[i]));
    }
    if (!names) return false;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %U", sig.callable, missing,
                 missing == 1 ? "argument" : "arguments", names.get());
    return false;
}

void fill_positional(PyObject* const* args, Py_ssize_t nargs, std::span<PyObject*> slots) {
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> slots) {
    if (!check_positional_count(sig, nargs)) return false;
    fill_positional(args, nargs, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) return false;
        }
    }
    return check_required(sig, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!check_positional_count(sig, nargs)) return false;
    fill_positional(&PyTuple_GET_ITEM(args, 0), nargs, slots);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, slots)) return false;
        }
    }
    return check_required(sig, slots);
}

void set_cast_error(PyObject* value, const char* expected) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname.get(), expected);
}

void prefix_conversion_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef original = take_raised();
    if (!original) return;
    PyRef text(PyObject_Str(original.get()));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    // SetCause steals the (possibly null) cause and sets
    // __suppress_context__, so the original never shows up as context.
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

namespace {

void append_utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void append_hex_escape(std::string& out, Py_UCS4 c) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kDigits[c & 0xF];
        c >>= 4;
    } while (c != 0);
    out += "\\u{";
    while (n > 0) out.push_back(buf[--n]);
    out.push_back('}');
}

}  // namespace

std::string debug_form(PyObject* str) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    std::string out;
    out.reserve(static_cast<std::size_t>(n) + 2);
    out.push_back('"');
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                // Lone surrogates are not printable, so they are escaped
                // here and the output stays valid UTF-8.
                if (Py_UNICODE_ISPRINTABLE(c)) {
                    append_utf8(out, c);
                } else {
                    append_hex_escape(out, c);
                }
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace vantoresk::py
