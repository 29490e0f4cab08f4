#include "support/py_error.hpp"

#include <string>

namespace skarvel::py {

namespace {

PyObject* raise_text(PyObject* type, const std::string& text) {
    PyObject* message =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message != nullptr) {
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }
    return nullptr;
}

}  // namespace

PyObject* to_py_err(const BufrError& error) {
    return raise_text(PyExc_ValueError, error.message());
}

PyObject* to_reader_err(const BufrError& error) {
    return raise_text(PyExc_ValueError, error.reader_message());
}

PyObject* raise_os_error(const BufrError& error) {
    return raise_text(PyExc_OSError, error.detail());
}

}  // namespace skarvel::py
