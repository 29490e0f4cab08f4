// The module functions that need tables: descriptor expansion and the three decode functions,
// which differ only in where their tables come from.
#pragma once

#include <Python.h>

namespace skarvel::py {

PyObject* expand_descriptors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

PyObject* decode_values(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* decode_values_with_tables(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* decode_values_with_definitions(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

}  // namespace skarvel::py
