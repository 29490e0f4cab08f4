// The Python classes of the table set: TableSet and its entries ElementDefinition and
// SequenceDefinition.
#pragma once

#include <Python.h>

#include <vector>

#include "tables/table_set.hpp"

namespace skarvel::py {

// The type objects, made ready on first use; null with an exception set if that fails.
PyTypeObject* element_definition_type();
PyTypeObject* sequence_definition_type();
PyTypeObject* table_set_type();

// A new TableSet object that owns `tables`; null with an exception set on failure.
PyObject* new_table_set(TableSet&& tables);

// The table set held by `obj` when it is a TableSet object (borrowed, read-only), else null
// with no exception set.
const TableSet* table_set_of(PyObject* obj);

// Expands `codes` against `tables` into a new list of int; null with ValueError on failure.
PyObject* expand_to_list(const TableSet& tables, const std::vector<DescriptorCode>& codes);

}  // namespace skarvel::py
