// Argument binding shared by every callable of the module.
//
// The two module functions are called with the fast-call convention
// (positional values in an array, keyword values after them, their names in
// a tuple); the options constructor gets an argument tuple and a keyword
// dict. Both forms are bound by the same rules and raise the same TypeError
// texts, so callers see one consistent behaviour:
//
//   1. more positional values than parameters        -> "takes ... given"
//   2. positional values fill parameters from the left
//   3. each keyword matched by exact name; unknown    -> "unexpected keyword"
//      already filled (positionally or by keyword)   -> "multiple values"
//   4. unfilled required parameters                   -> "missing ..."
//
// Binding only places borrowed references in slots; conversion is the
// caller's job, parameter by parameter, with `prefix_conversion_error` to
// name the parameter in a failing conversion's TypeError.
//
// Every function returning bool follows the CPython convention: false means
// a Python exception is set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

namespace vantoresk::py {

struct Signature {
    const char* callable;                // name used in messages, e.g. "compress_signal()"
    std::span<const char* const> names;  // parameters in order
    std::size_t required;                // leading parameters that must be given
};

// Slots receive borrowed references; an absent argument leaves nullptr.
// `slots.size()` must equal `sig.names.size()`.
[[nodiscard]] bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             std::span<PyObject*> slots);
[[nodiscard]] bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// Raises TypeError "'{type}' object is not an instance of '{expected}'"
// (or "'None' is not an instance of '{expected}'").
void set_cast_error(PyObject* value, const char* expected);

// Call right after the conversion of parameter `name` failed. A TypeError is
// replaced by TypeError("argument '{name}': {original text}") that keeps the
// original's __cause__ and suppresses its context; other errors stay as they
// are.
void prefix_conversion_error(const char* name);

// The debug form of a str used in the "Unknown ..." messages: in double
// quotes, with \\ \" \t \r \n \0 escaped, other non-printable code points as
// \u{hex}, everything else (single quotes included) unchanged. UTF-8 out.
// May throw std::bad_alloc.
std::string debug_form(PyObject* str);

}  // namespace vantoresk::py
