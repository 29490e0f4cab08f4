// The module functions that need tables: descriptor expansion (and, with value decoding,
// the decode functions).
#pragma once

#include <Python.h>

namespace skarvel::py {

PyObject* expand_descriptors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

}  // namespace skarvel::py
