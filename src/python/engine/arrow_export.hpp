// Columns handed to Arrow through its C data interface (the PyCapsule protocol's
// __arrow_c_array__): a chunk's columns as one struct array, each column typed as its cells
// allow (int64, float64, large_utf8 when it holds a text, or null when no row has a value),
// a row without a value of the column's type null. The buffers are made once and owned by the
// exported arrays, which Arrow releases when it is done with them.
#pragma once

#include <Python.h>

#include "frames/typed_columns.hpp"

namespace skarvel::py {

// (schema capsule, array capsule) of the struct array of `columns`; null with an exception
// set on failure.
PyObject* arrow_capsules(const ColumnSet& columns);

}  // namespace skarvel::py
