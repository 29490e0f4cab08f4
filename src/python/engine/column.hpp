// Column: a one-dimensional array owned by C++ and lent through the buffer protocol, so that
// numpy.frombuffer wraps it without a copy.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace skarvel::py {

PyTypeObject* column_type();

// New Column objects owning `values`; null with an exception set on failure.
PyObject* new_column(std::vector<std::uint32_t>&& values);
PyObject* new_column(std::vector<double>&& values);
PyObject* new_column(std::vector<std::int64_t>&& values);

}  // namespace skarvel::py
