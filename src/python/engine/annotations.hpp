// Annotations: the texts and code-table meanings of a message's values, kept in C++ until
// they are asked for. Most callers of a decode want the numbers; turning a meaning per value
// into Python objects would cost more than the decode itself.
#pragma once

#include <Python.h>

#include "data/columnar.hpp"
#include "data/decoded_value.hpp"

namespace skarvel::py {

PyTypeObject* annotations_type();

// A new Annotations object for `values`, whose meanings point into the table set held by
// `tables` (kept alive with the object).
PyObject* new_annotations(DecodedValues&& values, PyObject* tables);

// The same for the messages of a batch (its columns are dropped): positions count from the
// first value of the first message.
PyObject* new_annotations(ColumnBatch&& batch, PyObject* tables);

}  // namespace skarvel::py
