// Argument handling shared by every function and method of the module: the fast-call
// convention with keywords, and the conversions of single arguments.
//
// Wording of the errors: a missing, surplus, repeated or unknown argument gets the
// interpreter's usual TypeError text; a refused argument gets "argument '<name>': <reason>";
// an integer out of range gets OverflowError.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/descriptor_code.hpp"

namespace skarvel::py {

// A function of the fast-call-with-keywords convention, cast to the type a method table holds.
template <auto Function>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

// The flags of a module function or method, and of a static method, of that convention.
inline constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;
inline constexpr int kStaticFastcallKeywords = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// Binds positional and keyword arguments to `names.size()` required parameters. On success
// every entry of `out` is a borrowed reference; on failure a TypeError is set and false is
// returned. `function` is the name used in the error texts, for example "parse_bytes".
bool bind_arguments(const char* function, std::span<const char* const> names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// `data`: bytes or a subclass of it; other buffers are refused. The view borrows the object.
bool bytes_argument(PyObject* obj, const char* name, std::span<const std::uint8_t>& out);

// A path: str or a subclass of it, passed on as its UTF-8 text.
bool str_argument(PyObject* obj, const char* name, std::string& out);

// An integer no greater than `max` and not negative; anything with __index__ is accepted.
bool unsigned_argument(PyObject* obj, const char* name, std::uint64_t max, std::uint64_t& out);

// A sequence of descriptor codes: a list, a tuple or any object of the sequence protocol whose
// items are integers in 0 to 4294967295. A str is refused, though it is a sequence.
bool descriptor_list_argument(PyObject* obj, const char* name, std::vector<DescriptorCode>& out);

// Sets TypeError "argument '<name>': <reason>".
void set_argument_error(const char* name, const std::string& reason);

// bind_arguments for the tuple-and-dict convention of type constructors (tp_new).
bool bind_tuple_arguments(const char* function, std::span<const char* const> names, PyObject* args,
                          PyObject* kwargs, PyObject** out);

}  // namespace skarvel::py
