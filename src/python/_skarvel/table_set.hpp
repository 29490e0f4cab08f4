// What the module functions use of the TableSet class (its type object is declared with the
// other record classes).
#pragma once

#include <Python.h>

#include <vector>

#include "tables/table_set.hpp"

namespace skarvel::py {

// Expands `codes` against `tables` into a new list of int; null with ValueError on failure.
PyObject* expand_to_list(const TableSet& tables, const std::vector<DescriptorCode>& codes);

}  // namespace skarvel::py
