#include "support/py_args.hpp"

#include <vector>

#include "support/py_ref.hpp"

namespace skarvel::py {

void set_argument_error(const char* name, const std::string& reason) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, reason.c_str());
}

bool bind_arguments(const char* function, std::span<const char* const> names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     function, count, count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         key);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         names[index]);
            return false;
        }
        out[index] = args[nargs + k];
    }

    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < count; ++i) missing += out[i] == nullptr ? 1 : 0;
    if (missing == 0) return true;
    // "f() missing 2 required positional arguments: 'a' and 'b'", as the interpreter says it.
    std::string list;
    Py_ssize_t listed = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (out[i] != nullptr) continue;
        if (listed > 0) list += missing == 2 ? " and " : (listed == missing - 1 ? ", and " : ", ");
        list += std::string("'") + names[i] + "'";
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", function,
                 missing, missing == 1 ? "" : "s", list.c_str());
    return false;
}

bool bytes_argument(PyObject* obj, const char* name, std::span<const std::uint8_t>& out) {
    if (!PyBytes_Check(obj)) {
        set_argument_error(name, std::string("expected bytes, got ") + Py_TYPE(obj)->tp_name);
        return false;
    }
    out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
           static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
    return true;
}

bool str_argument(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        set_argument_error(name, std::string("expected str, got ") + Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) {
        // Lone surrogates have no UTF-8 form; report them against the parameter.
        PyErr_Clear();
        set_argument_error(name, "the text cannot be encoded as UTF-8");
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool unsigned_argument(PyObject* obj, const char* name, std::uint64_t max, std::uint64_t& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            set_argument_error(name, std::string("'") + Py_TYPE(obj)->tp_name +
                                         "' object cannot be interpreted as an integer");
        }
        return false;
    }
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (small == -1 && PyErr_Occurred()) return false;
    std::uint64_t value = 0;
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        PyErr_SetString(PyExc_OverflowError, overflow == 0
                                                 ? "out of range integral type conversion attempted"
                                                 : "can't convert negative int to unsigned");
        return false;
    }
    if (overflow > 0) {
        value = PyLong_AsUnsignedLongLong(index.get());
        if (value == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return false;
    } else {
        value = static_cast<std::uint64_t>(small);
    }
    if (value > max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = value;
    return true;
}

bool descriptor_list_argument(PyObject* obj, const char* name, std::vector<DescriptorCode>& out) {
    if (PyUnicode_Check(obj)) {
        set_argument_error(name, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        set_argument_error(name, std::string("'") + Py_TYPE(obj)->tp_name +
                                     "' object cannot be converted to 'Sequence'");
        return false;
    }
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item(PySequence_GetItem(obj, i));
        if (!item) return false;
        std::uint64_t code = 0;
        if (!unsigned_argument(item.get(), name, UINT32_MAX, code)) return false;
        out.push_back(static_cast<DescriptorCode>(code));
    }
    return true;
}

bool bind_tuple_arguments(const char* function, std::span<const char* const> names, PyObject* args,
                          PyObject* kwargs, PyObject** out) {
    // Lay the call out as the fast-call convention does: positional values, then keyword
    // values in the order of a tuple of their names. All references stay borrowed.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    constexpr Py_ssize_t kMaxInline = 8;
    PyObject* inline_values[kMaxInline];
    std::vector<PyObject*> heap_values;
    PyObject** values = inline_values;
    if (nargs + nkw > kMaxInline) {
        heap_values.resize(static_cast<std::size_t>(nargs + nkw));
        values = heap_values.data();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = PyTuple_GET_ITEM(args, i);
    PyRef kwnames;
    if (nkw > 0) {
        kwnames.reset(PyTuple_New(nkw));
        if (!kwnames) return false;
        Py_ssize_t pos = 0;
        Py_ssize_t k = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k, key);
            values[nargs + k] = value;
            ++k;
        }
    }
    return bind_arguments(function, names, values, nargs, kwnames.get(), out);
}

}  // namespace skarvel::py
